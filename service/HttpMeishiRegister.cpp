#include "service/HttpMeishiRegister.h"

#include <cstring>
#include <cwchar>
#include <initializer_list>
#include <vector>

#include "service/FormBody.h"
#include "service/ServiceGuard.h"
#include "service/TextCodec.h"
#include "support/Clock.h"

namespace tessaran {

namespace {

constexpr wchar_t kLoginPath[] = L"/service/m_login";
constexpr wchar_t kLogoutPath[] = L"/service/m_logout";
constexpr wchar_t kUserStatusPath[] = L"/service/user_status/";
constexpr wchar_t kNewSyncIdPath[] = L"/service/m_newsyncid/";
constexpr wchar_t kLogPath[] = L"/service/m_log/";
constexpr wchar_t kCardPath[] = L"/service/m_card/";
constexpr wchar_t kBackImagePath[] = L"/service/m_card/backimage/";
constexpr wchar_t kFormContentType[] = L"Content-Type: application/x-www-form-urlencoded";
constexpr wchar_t kJsonContentType[] = L"Content-Type: application/json";

constexpr char kSyncDataTemplate[] =
    "{\"sync_id\":\"%s\",\"revision\":%s,\"delete_flag\":%s,\"modify_datetime\":\"%s\",\"share_flag\":%s,"
    "\"correct_request\":%s,\"correct_status\":%d,\"owner_username\":\"%s\",\"user_correct\":%s,"
    "\"view_datetime\":\"%s\"}";

#define TESSARAN_ADDRESS_TEMPLATE                                                                          \
    "{\"place\":\"%s\",\"zip\":\"%s\",\"country\":\"%s\",\"address1\":\"%s\",\"address2\":\"%s\","          \
    "\"address3\":\"%s\",\"address4\":\"%s\",\"addressOrder\":\"%s\",\"tel1\":\"%s\",\"tel2\":\"%s\","     \
    "\"tel3\":\"%s\",\"tel4\":\"%s\",\"fax\":\"%s\",\"email\":\"%s\",\"url\":\"%s\",\"skype\":\"%s\","      \
    "\"latitude\":\"%s\",\"longitude\":\"%s\"}"

constexpr char kCardTemplate[] =
    "{\"sync_id\":\"%s\",\"fname\":\"%s\",\"lname\":\"%s\",\"fnamer\":\"%s\",\"lnamer\":\"%s\",\"cname\":\"%s\","
    "\"cnamer\":\"%s\",\"nameorder\":%d,\"prefix\":\"%s\",\"assign\":\"%s\",\"title\":\"%s\",\"group\":\"%s\","
    "\"create_datetime\":\"%s\",\"language\":%d,\"creator\":\"%s\","
    "\"address1\":" TESSARAN_ADDRESS_TEMPLATE ",\"address2\":" TESSARAN_ADDRESS_TEMPLATE
    ",\"have_image1\":%s,\"have_image2\":%s}";

#undef TESSARAN_ADDRESS_TEMPLATE

// Escaped field texts go through this fixed buffer.
constexpr int kEscapedFieldBytes = 7168;

// Fills the "%s" and "%d" places of `pattern`, in order, with `values`.
std::string FillTemplate(const char* pattern, std::initializer_list<std::string> values) {
    std::string text;
    auto value = values.begin();
    for (const char* p = pattern; *p; ++p) {
        if (p[0] == '%' && (p[1] == 's' || p[1] == 'd') && value != values.end()) {
            text += *value++;
            ++p;
        } else {
            text += *p;
        }
    }
    return text;
}

const char* Bool(uint8_t flag) { return flag ? "true" : "false"; }

// A text field as it goes between the card JSON's quotes: UTF-8, escaped.
// Only the field's own units are read, even when it lacks its terminator.
template <size_t N>
std::string CardField(const wchar_t (&field)[N]) {
    static_assert(N <= 256, "field wider than the escape buffer allows");
    wchar_t text[N];
    const size_t length = wcsnlen(field, N - 1);
    std::wmemcpy(text, field, length);
    text[length] = 0;
    // Four bytes per unit: a lone high surrogate takes four, so three per
    // unit could run out and leave the text unterminated.
    char utf8[4 * N];
    if (EncodeUtf8(text, utf8, static_cast<int>(sizeof(utf8))) < 0) utf8[0] = 0;
    char escaped[kEscapedFieldBytes];
    const int escapedLength = EscapeJsonString(utf8, escaped, kEscapedFieldBytes);
    return escapedLength < 0 ? std::string() : std::string(escaped, static_cast<size_t>(escapedLength));
}

// The record's sync ID as narrow text, when it is a safe one.
bool RecordSyncId(const MeishiRecord& record, std::string* syncId) {
    const size_t length = wcsnlen(record.sync_id, sizeof(record.sync_id) / sizeof(wchar_t));
    std::string text;
    for (size_t i = 0; i < length; ++i) {
        const wchar_t unit = record.sync_id[i];
        if (unit > 0x7E) return false;
        text += static_cast<char>(unit);
    }
    if (!IsSafeSyncId(text.c_str(), text.size())) return false;
    *syncId = text;
    return true;
}

// The "image" and "thumb" parts of both uploads: 0, or the file writer's -3 or -6.
int AddImageParts(CFormBody& body, const wchar_t* imagePath, const wchar_t* thumbPath) {
    const int image = body.AddFile("image", "image.jpeg", imagePath);
    if (image != kServiceOk) return image;
    return body.AddFile("thumb", "thumb.jpeg", thumbPath);
}

}  // namespace

bool IsSafeSyncId(const char* syncId, size_t length) noexcept {
    if (!syncId || length == 0 || length > kMaxSyncIdLength) return false;
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(syncId[i]);
        if (c < 0x21 || c > 0x7E) return false;
        if (std::strchr("\"\\/?#%&;=", c)) return false;
    }
    // A path segment of its own: "/service/m_card/backimage/.." names another resource.
    if ((length == 1 && syncId[0] == '.') || (length == 2 && syncId[0] == '.' && syncId[1] == '.')) return false;
    return true;
}

bool BuildSyncDataText(const MeishiRecord& record, const SYSTEMTIME& now, std::string* text) {
    std::string syncId;
    if (!RecordSyncId(record, &syncId)) return false;
    char modified[32];
    if (FormatClockText(now, modified, sizeof(modified)) < 0) modified[0] = 0;
    *text = FillTemplate(kSyncDataTemplate,
                         {syncId, std::to_string(record.revision), Bool(record.delete_flag), modified,
                          Bool(record.share_flag), Bool(record.correct_request),
                          std::to_string(record.correct_status), "", Bool(record.user_correct), ""});
    return true;
}

bool BuildCardText(const MeishiRecord& r, std::string* text) {
    std::string syncId;
    if (!RecordSyncId(r, &syncId)) return false;
    const MeishiAddress& a = r.address1;
    const MeishiAddress& b = r.address2;
    *text = FillTemplate(
        kCardTemplate,
        {syncId, CardField(r.fname), CardField(r.lname), CardField(r.fnamer), CardField(r.lnamer),
         CardField(r.cname), CardField(r.cnamer), r.nameorder != 0 ? "1" : "0", CardField(r.prefix),
         CardField(r.assign), CardField(r.title), CardField(r.group), CardField(r.create_datetime),
         std::to_string(r.language), CardField(r.creator),
         // address1
         CardField(a.place), CardField(a.zip), CardField(a.country), CardField(a.address1), CardField(a.address2),
         CardField(a.address3), CardField(a.address4), std::to_string(a.addressOrder), CardField(a.tel1),
         CardField(a.tel2), CardField(a.tel3), CardField(a.tel4), CardField(a.fax), CardField(a.email),
         CardField(a.url), CardField(a.skype), CardField(a.latitude), CardField(a.longitude),
         // address2
         CardField(b.place), CardField(b.zip), CardField(b.country), CardField(b.address1), CardField(b.address2),
         CardField(b.address3), CardField(b.address4), std::to_string(b.addressOrder), CardField(b.tel1),
         CardField(b.tel2), CardField(b.tel3), CardField(b.tel4), CardField(b.fax), CardField(b.email),
         CardField(b.url), CardField(b.skype), CardField(b.latitude), CardField(b.longitude),
         // have_image1, have_image2
         "false", "false"});
    return true;
}

int CHttpMeishiRegister::Init_HttpMeishiRegister(const wchar_t* agent, const wchar_t* host, uint16_t port,
                                                 const wchar_t* user, const wchar_t* syncToken) noexcept {
    const int stored = ServiceGuard([&] {
        m_User = user ? user : L"";
        m_SyncToken = syncToken ? syncToken : L"";
        return kServiceOk;
    });
    if (stored != kServiceOk) return kServiceSessionFailed;
    return Init_Http(agent, host, port);
}

int CHttpMeishiRegister::Login(int retry) noexcept {
    if (!IsOpen()) return kServiceNotOpen;
    const int result = ServiceGuard([&] {
        const std::wstring form = L"user=" + EscapeFormValue(m_User) + L"&sync_token=" + EscapeFormValue(m_SyncToken);
        std::vector<char> body(static_cast<size_t>(EncodeUtf8(form.c_str(), nullptr, 0)));
        const int written = EncodeUtf8(form.c_str(), body.data(), static_cast<int>(body.size()));
        // The logon answer brings the session cookie; it is captured only into an empty one.
        m_Cookie.clear();
        return PostLogon(retry, kLoginPath, kFormContentType, body.data(), static_cast<DWORD>(written - 1));
    });
    if (result != kServiceOk) {
        Close();
        return result;
    }
    UpdateLastAccess();
    return kServiceOk;
}

int CHttpMeishiRegister::Logout() noexcept {
    if (!IsOpen()) return kServiceNotOpen;
    // After a cancel or a stall the service still hears that the session
    // ends, but only briefly.
    if (Cancelled() || TimedOut()) BeginFarewell();
    const int result = Get(kLogoutPath, nullptr, nullptr);
    Close();
    return result;
}

int CHttpMeishiRegister::GetText(const wchar_t* path, std::string* out) noexcept {
    if (!out) return kServiceBadArgument;
    out->clear();
    if (!IsOpen()) return kServiceNotOpen;
    HGLOBAL block = nullptr;
    DWORD size = 0;
    const int result = Get(path, &block, &size);
    UniqueHGlobal owner(block);
    if (result != kServiceOk) return result;
    if (!owner) return kServiceOk;
    GlobalLockGuard lock(owner.get());
    if (!lock.get()) return kServiceBadResponse;
    return ServiceGuard([&] {
        out->assign(lock.as<char>(), size);
        return kServiceOk;
    });
}

int CHttpMeishiRegister::Get_m_User_status(std::string* status) noexcept {
    return GetText(kUserStatusPath, status);
}

int CHttpMeishiRegister::Get_m_newsyncid(std::string* syncId) noexcept {
    const int result = GetText(kNewSyncIdPath, syncId);
    if (result != kServiceOk) return result;
    // The ID goes unescaped into JSON texts and a request path.
    if (!IsSafeSyncId(syncId->data(), syncId->size())) {
        syncId->clear();
        return kServiceBadResponse;
    }
    return kServiceOk;
}

int CHttpMeishiRegister::Post_m_log(const char* const* syncIds, int count) noexcept {
    if (!syncIds || count < 1) return kServiceBadArgument;
    if (!IsOpen()) return kServiceNotOpen;
    for (int i = 0; i < count; ++i) {
        if (!syncIds[i] || !IsSafeSyncId(syncIds[i], std::strlen(syncIds[i]))) return kServiceBadArgument;
    }
    return ServiceGuard([&] {
        std::string body = "{\"syncidlist\":[";
        for (int i = 0; i < count; ++i) {
            if (i > 0) body += ',';
            body += '"';
            body += syncIds[i];
            body += '"';
        }
        body += "]}";
        return Post(1, kLogPath, kJsonContentType, body.data(), static_cast<DWORD>(body.size()), nullptr, nullptr);
    });
}

int CHttpMeishiRegister::Post_m_card(const MeishiRecord& record, const wchar_t* imagePath,
                                     const wchar_t* thumbPath) noexcept {
    if (!IsOpen()) return kServiceNotOpen;
    return ServiceGuard([&] {
        std::string syncData;
        std::string card;
        if (!BuildSyncDataText(record, ClockNow(), &syncData) || !BuildCardText(record, &card)) {
            return static_cast<int>(kServiceBadArgument);
        }
        CFormBody body(kFormBoundary);
        body.AddField("SyncData", syncData.c_str());
        body.AddField("Card", card.c_str());
        // A card without its picture is never registered: an image that
        // cannot be read fails the request before it is made.
        const int added = AddImageParts(body, imagePath, thumbPath);
        if (added != kServiceOk) return added;
        return SendMultipart(MultipartKind::CardUpload, kCardPath, body, nullptr);
    });
}

int CHttpMeishiRegister::Post_m_card_backimage(const char* syncId, const wchar_t* imagePath,
                                               const wchar_t* thumbPath) noexcept {
    if (!syncId || !imagePath || !thumbPath) return kServiceBadArgument;
    if (!IsOpen()) return kServiceNotOpen;
    const size_t length = std::strlen(syncId);
    // The ID becomes part of the request path as it is.
    if (!IsSafeSyncId(syncId, length)) return kServiceBadArgument;
    return ServiceGuard([&] {
        std::wstring path = kBackImagePath;
        path.append(syncId, syncId + length);
        CFormBody body(kFormBoundary);
        const int added = AddImageParts(body, imagePath, thumbPath);
        if (added != kServiceOk) return added;
        return SendMultipart(MultipartKind::CardUpload, path.c_str(), body, nullptr);
    });
}

}  // namespace tessaran
