// tarvello-ctl watch: the devices polled every so many seconds and published to the MQTT broker
// of DB.ini's [MQTT], until SIGINT, SIGTERM or SIGHUP ends it.
#pragma once

#include <QString>

#include <functional>

class EndRequests;
class SessionRun;

// Publishes from the start (the log-in is an event), logs in with the password `password` gives,
// opens the register and the port, then polls until `ends` asks for the end; one line a round on
// standard output (JSON with json). A lost port is tried again each round. Returns the exit
// status; throws RunError as the other commands do.
int Watch(SessionRun& session, EndRequests& ends, const std::function<QString()>& password, int everySeconds, bool json);
