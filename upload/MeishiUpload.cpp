#include "upload/MeishiUpload.h"

#include <picojson.h>

#include <cstring>
#include <cwchar>
#include <stdexcept>

#include "service/JsonDepth.h"
#include "service/TextCodec.h"
#include "support/Clock.h"

namespace tessaran {

namespace {

struct OcrField {
    const char* key;
    size_t offset;  // of the field inside MeishiRecord
    int width;      // in UTF-16 units, terminator included
};

#define TESSARAN_OCR_FIELD(key, member) \
    { key, offsetof(MeishiRecord, member), static_cast<int>(sizeof(MeishiRecord::member) / sizeof(wchar_t)) }

// In the order the keys are read.
const OcrField kOcrFields[] = {
    TESSARAN_OCR_FIELD("lastName", lname),
    TESSARAN_OCR_FIELD("firstName", fname),
    TESSARAN_OCR_FIELD("lastNameRuby", lnamer),
    TESSARAN_OCR_FIELD("firstNameRuby", fnamer),
    TESSARAN_OCR_FIELD("company", cname),
    TESSARAN_OCR_FIELD("companyRuby", cnamer),
    TESSARAN_OCR_FIELD("title", title),
    TESSARAN_OCR_FIELD("dep", assign),
    TESSARAN_OCR_FIELD("place_A", address1.place),
    TESSARAN_OCR_FIELD("zipCode_A", address1.zip),
    TESSARAN_OCR_FIELD("region_A", address1.address1),
    TESSARAN_OCR_FIELD("locality_A", address1.address2),
    TESSARAN_OCR_FIELD("street_A", address1.address3),
    TESSARAN_OCR_FIELD("build_A", address1.address4),
    TESSARAN_OCR_FIELD("phone_A", address1.tel1),
    TESSARAN_OCR_FIELD("cellPhone_A", address1.tel2),
    TESSARAN_OCR_FIELD("extension_A", address1.tel3),
    TESSARAN_OCR_FIELD("fax_A", address1.fax),
    TESSARAN_OCR_FIELD("email_A", address1.email),
    TESSARAN_OCR_FIELD("url_A", address1.url),
    TESSARAN_OCR_FIELD("skype", address1.skype),
    TESSARAN_OCR_FIELD("place_B", address2.place),
    TESSARAN_OCR_FIELD("zipCode_B", address2.zip),
    TESSARAN_OCR_FIELD("region_B", address2.address1),
    TESSARAN_OCR_FIELD("locality_B", address2.address2),
    TESSARAN_OCR_FIELD("street_B", address2.address3),
    TESSARAN_OCR_FIELD("build_B", address2.address4),
    TESSARAN_OCR_FIELD("phone_B", address2.tel1),
    TESSARAN_OCR_FIELD("cellPhone_B", address2.tel2),
    TESSARAN_OCR_FIELD("extension_B", address2.tel3),
    TESSARAN_OCR_FIELD("fax_B", address2.fax),
    TESSARAN_OCR_FIELD("email_B", address2.email),
    TESSARAN_OCR_FIELD("url_B", address2.url),
};

#undef TESSARAN_OCR_FIELD

// A text field: zeroed, then as much of the UTF-8 value as fits whole. A
// pair that only fitted without its terminator loses its first half too,
// so that a cut value never ends in half a character.
void ReadTextField(const std::string& utf8, wchar_t* field, int width) noexcept {
    std::memset(field, 0, static_cast<size_t>(width) * sizeof(wchar_t));
    if (DecodeUtf8(utf8.c_str(), field, width) >= 0) return;
    field[width - 1] = L'\0';
    if (width >= 2 && field[width - 2] >= 0xD800 && field[width - 2] <= 0xDBFF) field[width - 2] = L'\0';
}

template <size_t N>
void CopyText(wchar_t (&field)[N], const wchar_t* text) noexcept {
    std::wcsncpy(field, text, N - 1);
    field[N - 1] = L'\0';
}

}  // namespace

CMeishiUpload::CMeishiUpload(bool trustAnyCertificate) noexcept {
    m_HttpOCR.SetTrustAnyCertificate(trustAnyCertificate);
    m_Http.SetTrustAnyCertificate(trustAnyCertificate);
}

int CMeishiUpload::ServerLogin(const wchar_t* host, const wchar_t* mailAddress, const wchar_t* appToken,
                               uint16_t port) noexcept {
    const int result = m_Http.Init_HttpMeishiRegister(kServiceAgent, host, port, mailAddress, appToken);
    if (result != 0) return result;
    return m_Http.Login(0);
}

int CMeishiUpload::ServerLogout() noexcept {
    if (m_HttpOCR.TimedOut()) m_Http.BeginFarewell();
    return m_Http.Logout();
}

void CMeishiUpload::SetCancelEvent(HANDLE cancel) noexcept {
    m_HttpOCR.SetCancelEvent(cancel);
    m_Http.SetCancelEvent(cancel);
}

void CMeishiUpload::SetPumpMessages(bool pump) noexcept {
    m_HttpOCR.SetPumpMessages(pump);
    m_Http.SetPumpMessages(pump);
}

void CMeishiUpload::ParseOcrResult(const char* ocrText, MeishiRecord& record) {
    if (!ocrText) return;
    // One value from the start of the text; what follows it, and the reason a
    // broken text stopped, do not matter: the members read so far are used.
    picojson::value value;
    std::string error;
    const char* end = ocrText + std::strlen(ocrText);
    if (!JsonNestedWithin(ocrText, end)) return;
    try {
        picojson::parse(value, ocrText, end, &error);
    } catch (const std::overflow_error&) {
        // A number beyond a double (1e999) is refused by throwing; like any
        // other parse error it ends the reading, and what was read stays.
    }
    if (!value.is<picojson::object>()) return;
    const picojson::object& object = value.get<picojson::object>();

    record.nameorder = 0;
    record.address1.addressOrder = 0;
    record.address2.addressOrder = 0;
    record.language = 0;
    for (const OcrField& field : kOcrFields) {
        wchar_t* target = reinterpret_cast<wchar_t*>(reinterpret_cast<char*>(&record) + field.offset);
        const auto member = object.find(field.key);
        if (member != object.end() && member->second.is<std::string>()) {
            ReadTextField(member->second.get<std::string>(), target, field.width);
        } else {
            std::memset(target, 0, static_cast<size_t>(field.width) * sizeof(wchar_t));
        }
    }
}

int CMeishiUpload::DoUploadMeishi(const char* syncId, const wchar_t* imagePath, const wchar_t* thumbnailPath,
                                  MeishiRecord& record) noexcept {
    const int result = RegisterMeishi(syncId, imagePath, thumbnailPath, record);
    if (!IsServiceSuccess(result)) return result;
    ReportRegistered(syncId);
    return 0;
}

void CMeishiUpload::ReportRegistered(const char* syncId) noexcept {
    // The report only tells the service which cards changed; the card is
    // registered whatever it answers.
    const char* const syncIds[] = {syncId};
    m_Http.Post_m_log(syncIds, 1);
}

int CMeishiUpload::RegisterMeishi(const char* syncId, const wchar_t* imagePath, const wchar_t* thumbnailPath,
                                  MeishiRecord& record) noexcept {
    if (!syncId) return kServiceBadArgument;
    wchar_t now[24] = {};
    FormatClockText(ClockNow(), now, 24);

    // The sync ID is plain ASCII; one that does not fit the field is refused by
    // the registration rather than sent cut.
    std::memset(record.sync_id, 0, sizeof(record.sync_id));
    const size_t syncIdLength = std::strlen(syncId);
    if (syncIdLength >= sizeof(record.sync_id) / sizeof(wchar_t)) return kServiceBadArgument;
    for (size_t i = 0; i < syncIdLength; ++i) record.sync_id[i] = static_cast<unsigned char>(syncId[i]);

    record.revision = 0;
    record.delete_flag = 0;
    CopyText(record.modify_datetime, now);
    record.share_flag = 1;
    std::memset(record.owner_username, 0, sizeof(record.owner_username));
    record.user_correct = 0;
    CopyText(record.view_datetime, now);
    CopyText(record.create_datetime, now);
    CopyText(record.group, L"グループ未設定");

    return m_Http.Post_m_card(record, imagePath, thumbnailPath);
}

int CMeishiUpload::DoUploadImage(const char* syncId, const wchar_t* imagePath,
                                 const wchar_t* thumbnailPath) noexcept {
    const int result = m_Http.Post_m_card_backimage(syncId, imagePath, thumbnailPath);
    if (!IsServiceSuccess(result)) return result;
    const char* const syncIds[] = {syncId};
    m_Http.Post_m_log(syncIds, 1);
    return 0;
}

}  // namespace tessaran
