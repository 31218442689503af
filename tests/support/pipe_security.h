// The job pipe's intended descriptor, checked entry by entry on any handle to
// the pipe (the server's own end or a client's opened with READ_CONTROL).
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <aclapi.h>

#include "common/contracts.h"
#include "common/owned.h"

namespace test_support {

inline void expect_job_pipe_descriptor(HANDLE pipe) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(GetSecurityInfo(pipe, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              &dacl, nullptr, &descriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    const owned::unique_local release(descriptor);
    ASSERT_NE(dacl, nullptr) << "a null DACL lets everyone in";
    struct row {
        BYTE type;
        DWORD access;
        WELL_KNOWN_SID_TYPE who;
    };
    // The deny for network logons must come first to count.
    const row rows[] = {
        {ACCESS_DENIED_ACE_TYPE, FILE_ALL_ACCESS, WinNetworkSid},
        {ACCESS_ALLOWED_ACE_TYPE, FILE_ALL_ACCESS, WinLocalSystemSid},
        {ACCESS_ALLOWED_ACE_TYPE, FILE_ALL_ACCESS, WinBuiltinAdministratorsSid},
        {ACCESS_ALLOWED_ACE_TYPE, contracts::kJobPipeClientAccess, WinAuthenticatedUserSid},
    };
    ASSERT_EQ(dacl->AceCount, sizeof rows / sizeof rows[0]);
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        SCOPED_TRACE(i);
        void* ace = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, &ace));
        // Allowed and denied entries share one layout.
        const auto* entry = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
        EXPECT_EQ(entry->Header.AceType, rows[i].type);
        EXPECT_EQ(entry->Mask, rows[i].access);
        EXPECT_TRUE(IsWellKnownSid(const_cast<DWORD*>(&entry->SidStart), rows[i].who));
    }
}

}  // namespace test_support
