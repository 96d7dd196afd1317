// The stand-in services' control API, seen from a test program under Wine:
// seeding accounts, queueing faults, and reading what the services received.
#pragma once

#include <picojson.h>

#include <string>

namespace upload_test {

class StandinControl {
public:
    // From STANDIN_PORT; port() is 0 when the program runs without a stand-in.
    StandinControl();
    int port() const { return m_port; }
    // "127.0.0.1:<port>"
    std::wstring HostAndPort() const;

    // Sends one control request; the answer's JSON (null on failure, with
    // the reason in *error when given).
    picojson::value Request(const wchar_t* verb, const std::wstring& path, const std::string& body = "",
                            std::string* error = nullptr) const;

    // Forgets everything, accounts included, and adds one account.
    bool Reset();
    bool AddAccount(const std::string& mail, const std::string& token, int limit = 100);
    // {"path_prefix": prefix, "status": status, "count": count} or any fault object.
    bool QueueFault(const std::string& faultJson);
    // Drops the faults still waiting.
    bool ClearFaults();

    picojson::array Cards() const;
    picojson::array OcrRequests() const;
    picojson::array MlogReports() const;
    picojson::array Journal(const std::string& pathPrefix = "") const;

private:
    int m_port = 0;
};

// Member access that tolerates missing keys and wrong types.
const picojson::value& Member(const picojson::value& object, const char* key);
std::string Text(const picojson::value& value, const char* key);
double Number(const picojson::value& value, const char* key);

}  // namespace upload_test
