// The test side of the stand-in services: where they listen, their control
// API (accounts, faults, journal, cards), and expected wire bytes.
#pragma once

#include <windows.h>

#include <picojson.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "service/HttpBase.h"

namespace tessaran_test {

// One request as the stand-in received it.
struct JournalEntry {
    std::string method;
    std::string path;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    int status = -1;  // -1 when no answer was given (a dropped connection)
    std::string outcome;
    int connection = 0;  // the same number for requests over one connection

    // The value of the only header of that name; "" when absent. Fails the
    // test when the header occurs more than once.
    std::string Header(const std::string& name) const;
    int HeaderCount(const std::string& name) const;
};

class Standin {
public:
    Standin();
    // False when the program runs without the stand-in (tests then skip).
    bool Available() const { return m_port != 0; }
    const std::wstring& Host() const { return m_host; }
    uint16_t Port() const { return m_port; }

    // A control call; fails the test on anything but 200.
    picojson::value Control(const wchar_t* verb, const std::wstring& path, const std::string& body = "");

    // Forgets sessions, cards, faults and the journal; keeps accounts.
    void Reset();
    void AddAccount(const std::string& mail, const std::string& token, int limit = 100);
    void QueueFault(const picojson::object& fault);
    void ExpireSessions();
    // Each logon ends the account's other sessions (until the next Reset).
    void SetOneSessionPerAccount(bool on);
    std::vector<JournalEntry> Journal();
    picojson::array Cards();
    picojson::array OcrRequests();
    // Ids of the sessions the stand-in made, oldest first.
    std::vector<std::string> SessionIds();

private:
    std::wstring m_host;
    uint16_t m_port = 0;
};

// Other names of 127.0.0.1, one per request that must verify a certificate.
// WinINet keeps connections alive per host name and reuses one without
// checking its certificate again, so a verifying request must go to a name
// that no trusting request has used in this process.
enum class Alias { kVerifyRefused, kVerifyThenTrust, kVerifyTwice, kCount };
std::wstring LoopbackAlias(Alias alias);

// Shorthands for building control bodies.
picojson::object Fault(const std::string& pathPrefix, const std::string& action, int status = 500);
picojson::array Texts(std::initializer_list<const char*> texts);

// True when the program runs under Wine rather than Windows.
bool RunningUnderWine();

// The expected bytes of form parts with the plug-in's boundary.
std::string FieldPart(const std::string& name, const std::string& value);
std::string FilePart(const std::string& name, const std::string& fileName, const std::string& content);
std::string ClosingDelimiter();

// A JSON string value as UTF-16; "<missing>" when the key is absent or not a string.
std::wstring WideString(const picojson::object& object, const std::string& key);

}  // namespace tessaran_test
