// A publisher in a process of its own, for the last-will test to kill:
// connects to 127.0.0.1:<port> as client "quorvan-will", publishes one
// meter and waits for its end.
#include "CMqttPublisher.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc != 2)
        return 2;
    MqttSettings settings;
    settings.enabled = true;
    settings.port = std::atoi(argv[1]);
    settings.clientId = "quorvan-will";
    CMqttPublisher publisher(settings);
    std::string error;
    if (!publisher.Start(&error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    MeterSnapshot meter;
    meter.name = "bank-1";
    meter.up = true;
    meter.decided = true;
    meter.haveReading = true;
    meter.reading = Measurement{5000, 100, 500, 1, 0, 0};
    publisher.Publish(meter);
    for (;;)
        pause();
}
