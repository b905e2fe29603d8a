#include "Password.h"

namespace {

constexpr size_t kMaxLength = 256;

}  // namespace

bool ReadPasswordLine(const std::function<int(char*)>& readByte, std::string* line)
{
    line->clear();
    bool any = false;
    for (;;) {
        char c;
        const int n = readByte(&c);
        if (n <= 0)
            return any && n == 0;
        any = true;
        if (c == '\n')
            break;
        if (line->size() < kMaxLength)
            line->push_back(c);
    }
    if (!line->empty() && line->back() == '\r')
        line->pop_back();
    return true;
}
