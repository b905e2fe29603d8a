#include "CQuorvanMasterApp.h"

int main(int argc, char** argv)
{
    CQuorvanMasterApp app(argc, argv);
    return app.InitInstance();
}
