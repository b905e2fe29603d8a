// The publisher of a build without libmosquitto (Windows: Debian builds it
// for Linux only). The configuration refuses [mqtt] there; should settings
// that ask for a broker reach Start() all the same, it fails, so nothing
// quietly runs without the broker it was told to use.
#include "CMqttPublisher.h"

CMqttPublisher::CMqttPublisher(const MqttSettings& settings, std::string serviceName)
    : m_settings(settings), m_serviceName(std::move(serviceName))
{
}

CMqttPublisher::~CMqttPublisher() = default;

void CMqttPublisher::SetReconnectPauses(int firstMs, int maxMs)
{
    m_firstPauseMs = firstMs;
    m_maxPauseMs = maxMs;
}

bool CMqttPublisher::Start(std::string* error)
{
    if (!m_settings.enabled)
        return true;
    *error = "MQTT is not part of this build of " + m_serviceName;
    return false;
}

void CMqttPublisher::Stop() {}

void CMqttPublisher::Publish(const MeterSnapshot&) {}

void CMqttPublisher::Forget(const std::string&) {}

void CMqttPublisher::SetMeters(const std::vector<std::string>&) {}

std::string CMqttPublisher::LastError() const
{
    return std::string();
}
