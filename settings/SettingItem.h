// The settings of one scan job, and the job ID's text form.
#pragma once

#include <windows.h>

#include <string>

namespace tessaran {

// One job ID; its text form is the 38-character registry form with braces and
// upper-case hexadecimal digits.
class CSMRGuid {
public:
    CSMRGuid() noexcept : m_guid() {}
    explicit CSMRGuid(const GUID& guid) noexcept : m_guid(guid) {}

    const GUID& Get() const noexcept { return m_guid; }
    void Set(const GUID& guid) noexcept { m_guid = guid; }
    std::wstring ToString() const;

private:
    GUID m_guid;
};

// Whether a settings file can hold the text. XML has no way to write the
// control characters below U+0020 other than tab, CR and LF, nor U+FFFE,
// U+FFFF or half of a surrogate pair without its other half; the engine
// writes some of them so that the file no longer loads, and drops or
// replaces the others.
bool SettingsFileCanHold(const std::wstring& text) noexcept;

class SettingItem {
public:
    SettingItem() = default;

    const CSMRGuid& GetGuid() const noexcept { return m_Guid; }
    void SetGuid(const GUID& guid) noexcept { m_Guid.Set(guid); }
    const std::wstring& GetMailAddress() const noexcept { return m_MailAddress; }
    void SetMailAddress(const std::wstring& value) { m_MailAddress = value; }
    const std::wstring& GetUsername() const noexcept { return m_Username; }
    void SetUsername(const std::wstring& value) { m_Username = value; }
    const std::wstring& GetAppToken() const noexcept { return m_AppToken; }
    void SetAppToken(const std::wstring& value) { m_AppToken = value; }
    int GetEvenNumberImageToBackPage() const noexcept { return m_EvenNumberImageToBackPage; }
    void SetEvenNumberImageToBackPage(int value) noexcept { m_EvenNumberImageToBackPage = value; }
    int GetOCRLangID() const noexcept { return m_OCRLangID; }
    void SetOCRLangID(int value) noexcept { m_OCRLangID = value; }
    int GetOCRLangBackID() const noexcept { return m_OCRLangBackID; }
    void SetOCRLangBackID(int value) noexcept { m_OCRLangBackID = value; }

private:
    CSMRGuid m_Guid;
    std::wstring m_MailAddress;
    std::wstring m_Username;
    std::wstring m_AppToken;
    int m_EvenNumberImageToBackPage = 0;
    int m_OCRLangID = 1;      // Japanese
    int m_OCRLangBackID = 2;  // English
};

}  // namespace tessaran
