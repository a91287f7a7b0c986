#include "mqtt/mqttpublisher.h"

#include "core/session.h"

bool MqttAvailable()
{
#ifdef TARVELLO_HAVE_MQTT
    return true;
#else
    return false;
#endif
}

std::unique_ptr<MqttPublisher> StartMqtt(Session& session, MqttProblem* problem)
{
    MqttProblem found;
    const MqttSettings settings = ReadMqttSettings(session.settings(), session.dataDir(), &found);
    if (problem)
        *problem = found;
    if (!settings.enabled())
        return nullptr;
    if (!MqttAvailable()) {
        if (problem)
            *problem = { MqttNotBuiltText, settings.host };
        return nullptr;
    }
    return std::make_unique<MqttPublisher>(session, settings);
}
