// Debian's Mosquitto on a free port of 127.0.0.1 for the tests, and mosquitto_sub reading it.
#pragma once

#include "../support/ser2net.h" // listening()

#include "../support/child_process.h"

#include <QStringList>

#include <chrono>
#include <map>
#include <memory>
#include <thread>

class Broker {
public:
    Broker() : m_port(FreeLoopbackPort()) {}
    ~Broker() { stop(); }

    // Without a configuration file Mosquitto listens on the loopback interface and keeps nothing
    // on disk: a restarted broker knows only what its clients send it again.
    bool start()
    {
        m_process = std::make_unique<ChildProcess>();
        m_process->start(QStringLiteral("mosquitto"), { QStringLiteral("-p"), QString::number(m_port) });
        for (int i = 0; i < 100 && !listening(m_port); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return listening(m_port);
    }
    void stop() { m_process.reset(); }
    uint16_t port() const { return m_port; }

    // The retained messages the broker holds now: topic -> payload.
    std::map<QString, QString> retained() const
    {
        ChildProcess sub;
        sub.start(QStringLiteral("mosquitto_sub"), { QStringLiteral("-p"), QString::number(m_port), QStringLiteral("-v"),
            QStringLiteral("-t"), QStringLiteral("tarvello/#"), QStringLiteral("--retained-only"), QStringLiteral("-W"), QStringLiteral("1") });
        const QByteArray text = sub.readToEnd(5000);
        std::map<QString, QString> out;
        for (const QString& line : QString::fromUtf8(text).split(QLatin1Char('\n'), Qt::SkipEmptyParts))
            out[line.section(QLatin1Char(' '), 0, 0)] = line.section(QLatin1Char(' '), 1);
        return out;
    }

private:
    uint16_t m_port;
    std::unique_ptr<ChildProcess> m_process;
};

// Every message published under tarvello/ from its start on, as "topic payload" lines.
class Subscriber {
public:
    explicit Subscriber(uint16_t port)
    {
        m_process.start(QStringLiteral("mosquitto_sub"), { QStringLiteral("-p"), QString::number(port), QStringLiteral("-v"),
            QStringLiteral("-R"), QStringLiteral("-t"), QStringLiteral("tarvello/#") });
        std::this_thread::sleep_for(std::chrono::milliseconds(200)); // subscribed
    }
    QStringList lines()
    {
        m_text += QString::fromUtf8(m_process.read(100));
        return m_text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

private:
    ChildProcess m_process;
    QString m_text;
};
