// Client of the card service: logon with mail address and application token,
// new sync IDs, card registration with images, back images, the sync ID
// report, the account status, and logoff.
#pragma once

#include <cstdint>
#include <string>

#include "service/HttpBase.h"
#include "service/MeishiRecord.h"

namespace tessaran {

// Sync IDs go unescaped into JSON texts and request paths, so only these are
// used: 1 to 24 printable ASCII characters, none of  space " \ / ? # % & ; =
// and neither "." nor "..".
constexpr size_t kMaxSyncIdLength = 24;
bool IsSafeSyncId(const char* syncId, size_t length) noexcept;

class CHttpMeishiRegister : public CHttp_base {
public:
    CHttpMeishiRegister() = default;
    ~CHttpMeishiRegister() override = default;

    // Stores user and token (even on an open client), then Init_Http.
    int Init_HttpMeishiRegister(const wchar_t* agent, const wchar_t* host, uint16_t port, const wchar_t* user,
                                const wchar_t* syncToken) noexcept;
    // POST "/service/m_login"; on failure the client is closed.
    int Login(int retry) noexcept override;
    // GET "/service/m_logout", then Close whatever the answer. After a cancel
    // or a time-out it may take a few seconds at most (BeginFarewell).
    int Logout() noexcept override;

    // GET "/service/user_status/": the whole answer (JSON) in `status`.
    int Get_m_User_status(std::string* status) noexcept;
    // GET "/service/m_newsyncid/": the new sync ID, the whole answer. An answer
    // that is not a safe sync ID (see IsSafeSyncId) gives -102 and an empty text.
    int Get_m_newsyncid(std::string* syncId) noexcept;
    // POST "/service/m_log/" {"syncidlist":[...]}: -3 without IDs or with one
    // that is not a safe sync ID.
    int Post_m_log(const char* const* syncIds, int count) noexcept;
    // Multipart POST "/service/m_card/": SyncData, Card, image, thumb. -3 when
    // the record's sync_id is not a safe sync ID.
    int Post_m_card(const MeishiRecord& record, const wchar_t* imagePath, const wchar_t* thumbPath) noexcept;
    // Multipart POST "/service/m_card/backimage/<sync ID>": image, thumb.
    int Post_m_card_backimage(const char* syncId, const wchar_t* imagePath, const wchar_t* thumbPath) noexcept;

protected:
    std::wstring m_User;       // the account's mail address
    std::wstring m_SyncToken;  // the account's application token

private:
    int GetText(const wchar_t* path, std::string* out) noexcept;
};

// The SyncData and Card texts of a registration, as they go into the body;
// `now` is the sending time. Returns false when the record's sync_id is not a
// safe sync ID. Exposed for tests that compare the texts with the record.
bool BuildSyncDataText(const MeishiRecord& record, const SYSTEMTIME& now, std::string* text);
bool BuildCardText(const MeishiRecord& record, std::string* text);

}  // namespace tessaran
