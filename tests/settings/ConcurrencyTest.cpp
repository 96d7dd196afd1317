// Two host processes that create job IDs at the same moment must not lose
// each other's jobs. The test program starts two copies of itself that each
// create job IDs through the controller, released together.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <aclapi.h>

#include <set>
#include <sstream>
#include <string>

#include "common/HostProcess.h"
#include "common/SettingsPlaces.h"
#include "common/XmlCheck.h"
#include "controller/MeishiServiceCtrl.h"
#include "support/Handles.h"

using namespace tessaran;
using namespace tessaran_test;

namespace {

constexpr int kJobsPerProcess = 30;
constexpr wchar_t kChildVariable[] = L"TESSARAN_STORE_CHILD";  // the file a child lists its IDs in
constexpr wchar_t kReadyVariable[] = L"TESSARAN_STORE_READY";  // semaphore a child releases when ready
constexpr wchar_t kGoVariable[] = L"TESSARAN_STORE_GO";        // event that starts both at once

// A child: waits for the start, creates its job IDs and lists them.
void CreateJobsAsChild(const std::wstring& idsFile) {
    UniqueHandleNull ready(::OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, Env(kReadyVariable).c_str()));
    UniqueHandleNull go(::OpenEventW(SYNCHRONIZE, FALSE, Env(kGoVariable).c_str()));
    ASSERT_TRUE(ready && go);
    CMeishiServiceCtrl controller;
    controller.DataStore().SetCsidl(CSIDL_LOCAL_APPDATA);
    ::ReleaseSemaphore(ready.get(), 1, nullptr);
    ASSERT_EQ(::WaitForSingleObject(go.get(), 60000), WAIT_OBJECT_0);
    std::string ids;
    for (int i = 0; i < kJobsPerProcess; ++i) {
        GUID id;
        ASSERT_EQ(controller.CreateID(&id), S_OK) << i;
        ids += ToUtf8(CSMRGuid(id).ToString()) + "\n";
    }
    WriteFileBytes(idsFile, ids);
}

TEST(StoreAcrossProcesses, TwoProcessesCreatingJobIdsAtOnceLoseNone) {
    const std::wstring childFile = Env(kChildVariable);
    if (!childFile.empty()) {
        CreateJobsAsChild(childFile);
        return;
    }

    StoreLocation place;
    ScratchDir scratch(L"conc");
    const std::wstring suffix = std::to_wstring(::GetCurrentProcessId());
    const std::wstring readyName = L"TessaranStoreTestReady-" + suffix;
    const std::wstring goName = L"TessaranStoreTestGo-" + suffix;
    UniqueHandleNull ready(::CreateSemaphoreW(nullptr, 0, 2, readyName.c_str()));
    UniqueHandleNull go(::CreateEventW(nullptr, TRUE, FALSE, goName.c_str()));
    ASSERT_TRUE(ready && go);

    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring commandLine =
        Quoted(self) + L" --gtest_brief=1 --gtest_filter=StoreAcrossProcesses.TwoProcessesCreatingJobIdsAtOnceLoseNone";
    UniqueHandleNull children[2];
    for (int i = 0; i < 2; ++i) {
        const ScopedEnvironment environment({{kChildVariable, scratch / (L"ids" + std::to_wstring(i) + L".txt")},
                                             {kReadyVariable, readyName},
                                             {kGoVariable, goName}});
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process = {};
        std::wstring mutableLine = commandLine;
        ASSERT_TRUE(::CreateProcessW(nullptr, &mutableLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                     &process));
        ::CloseHandle(process.hThread);
        children[i].reset(process.hProcess);
    }
    for (int i = 0; i < 2; ++i) ASSERT_EQ(::WaitForSingleObject(ready.get(), 60000), WAIT_OBJECT_0);
    ::SetEvent(go.get());
    for (UniqueHandleNull& child : children) {
        ASSERT_EQ(::WaitForSingleObject(child.get(), 120000), WAIT_OBJECT_0);
        DWORD exitCode = 1;
        ::GetExitCodeProcess(child.get(), &exitCode);
        EXPECT_EQ(exitCode, 0u);
    }

    std::set<std::string> created;
    for (int i = 0; i < 2; ++i) {
        std::istringstream lines(ReadFileBytes(scratch / (L"ids" + std::to_wstring(i) + L".txt")));
        for (std::string line; std::getline(lines, line);) created.insert(line);
    }
    ASSERT_EQ(created.size(), 2u * kJobsPerProcess);
    const XmlDocument settings = ParseXml(ReadFileBytes(place.settingsFile));
    ASSERT_TRUE(settings.ok) << settings.error;
    std::set<std::string> stored;
    for (const XmlNode& item : settings.root.children) {
        const XmlNode* guid = item.Child("Guid");
        if (guid) stored.insert(guid->text);
    }
    EXPECT_EQ(settings.root.children.size(), 2u * kJobsPerProcess);
    EXPECT_EQ(stored, created) << "jobs were lost between the processes";
    EXPECT_THAT(place.StrayFiles(), ::testing::IsEmpty());
}

// Users in other sessions share the all-users settings file, so its lock is
// in the machine's namespace, and whoever made it first (elevated or not, of
// any account) lets everyone else wait for it and release it. Wine has one
// session and one user: what it shows is the lock's namespace and the rights
// that it hands out; a second session or account shows itself only on Windows.
TEST(StoreAcrossProcesses, TheLockIsTheMachinesAndEveryoneMayTakeIt) {
    StoreLocation place(CSIDL_COMMON_APPDATA);
    CSettingsFileLock lock;
    ASSERT_EQ(lock.Acquire(place.settingsFile.c_str()), S_OK);
    wchar_t name[CSettingsFileLock::kNameUnits];
    CSettingsFileLock::Name(place.settingsFile.c_str(), name);
    const std::wstring machineName = name;
    ASSERT_EQ(machineName.rfind(L"Global\\", 0), 0u) << ToUtf8(machineName);
    UniqueHandleNull seen(::OpenMutexW(READ_CONTROL | SYNCHRONIZE, FALSE, machineName.c_str()));
    ASSERT_TRUE(seen) << "no mutex of that name in the machine's namespace: " << ::GetLastError();

    PACL acl = nullptr;
    UniqueHLocal descriptor;
    ASSERT_EQ(::GetSecurityInfo(seen.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &acl,
                                nullptr, reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.put())),
              static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_NE(acl, nullptr) << "no access list is not everyone's access";
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    ASSERT_TRUE(::AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone));
    ACCESS_MASK granted = 0;
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (::GetAce(acl, i, reinterpret_cast<void**>(&ace)) && ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
            ::EqualSid(&ace->SidStart, everyone)) {
            granted |= ace->Mask;
        }
    }
    ::FreeSid(everyone);
    EXPECT_EQ(granted, static_cast<ACCESS_MASK>(SYNCHRONIZE | MUTEX_MODIFY_STATE));
}

}  // namespace
