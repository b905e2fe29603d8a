#include "MqttCredentials.h"

#include "SecretFile.h"

namespace {

// More than any user name and password; a bigger file is not ours.
constexpr size_t kMaxFileBytes = 4096;

MqttCredentials Failed(std::string error)
{
    MqttCredentials result;
    result.error = std::move(error);
    return result;
}

// The next line of `text` from `*pos`, without its CR/LF.
std::string NextLine(const std::string& text, size_t* pos)
{
    size_t end = text.find('\n', *pos);
    if (end == std::string::npos)
        end = text.size();
    std::string line = text.substr(*pos, end - *pos);
    *pos = end < text.size() ? end + 1 : end;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

}  // namespace

MqttCredentials ReadMqttCredentials(const std::string& path)
{
    const SecretFile file = ReadSecretFile(path, "MQTT credentials file", kMaxFileBytes);
    if (!file.ok)
        return Failed(file.error);
    MqttCredentials result;
    size_t pos = 0;
    result.user = NextLine(file.text, &pos);
    result.password = NextLine(file.text, &pos);
    if (result.user.empty())
        return Failed("MQTT credentials file " + path +
                      ": the first line must hold the user name, the second the password");
    result.ok = true;
    return result;
}
