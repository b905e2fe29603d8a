// Debian's mosquitto broker, run by a test: its own configuration in a
// temporary folder, a loopback port picked at the first start and kept
// across restarts, stopped by pid.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

class MqttBroker {
public:
    MqttBroker();
    ~MqttBroker();  // Stop(), then the folder goes

    MqttBroker(const MqttBroker&) = delete;
    MqttBroker& operator=(const MqttBroker&) = delete;

    // Anonymous clients, or only the users of the password file (SetUser).
    // `listenerLines` go under the listener line (TLS files). True once the
    // port accepts connections.
    bool Start(bool anonymous = true, const std::string& listenerLines = std::string());
    // Same configuration, same port.
    bool Restart();
    void Kill();    // SIGKILL: no goodbye to anyone
    void Stop();    // SIGTERM
    bool Reload();  // SIGHUP: rereads the password file

    // Adds or replaces a user in the password file, with mosquitto_passwd.
    bool SetUser(const std::string& user, const std::string& password);
    bool RemoveUser(const std::string& user);

    int Port() const { return m_port; }
    const std::string& Dir() const { return m_dir; }

private:
    bool Launch();
    void Reap(int signal);

    std::string m_dir;
    int m_port = 0;
    pid_t m_pid = -1;
    bool m_anonymous = true;
    std::string m_listenerLines;
};

// Runs a program to its end; true when it exits 0.
bool RunProgram(const std::vector<std::string>& argv);
