// The link of a program built without libmosquitto (the Windows build): StartMqtt never makes
// one there, it says instead that the program has no MQTT.
#include "mqtt/mqttlink.h"

struct MqttLink::Impl {};

MqttLink::MqttLink(const MqttSettings&, const QString&, const QByteArray&, QObject* parent) : QObject(parent) {}
MqttLink::~MqttLink() = default;
void MqttLink::start() {}
void MqttLink::publish(const QString&, const QByteArray&, bool) {}
void MqttLink::stop(int) {}
bool MqttLink::connected() const { return false; }
quint64 MqttLink::delivered() const { return 0; }
