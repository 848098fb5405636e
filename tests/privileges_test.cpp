// The privilege drop: against a modelled kernel for every starting state and failure, and, where
// the machine allows it, as an installed setuid or file-capability program run by a user.
#include "link/privileges.h"
#include "tests/support/child.h"
#include "tests/support/fake_identity_calls.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <grp.h>
#include <linux/capability.h>
#include <map>
#include <pwd.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using testing_support::ALL_CAPABILITIES;
using testing_support::Kernel;
using testing_support::kernel;
using testing_support::RAWIO;
using testing_support::run_child;

namespace {

Kernel setuid_root_run() {
    Kernel k;
    k.euid = k.suid = 0;
    k.caps = {ALL_CAPABILITIES, ALL_CAPABILITIES, 0};
    return k;
}

void expect_user_only(const Kernel& k, int groups) {
    EXPECT_EQ(k.ruid, 1000u);
    EXPECT_EQ(k.euid, 1000u);
    EXPECT_EQ(k.suid, 1000u);
    EXPECT_EQ(k.rgid, 100u);
    EXPECT_EQ(k.egid, 100u);
    EXPECT_EQ(k.sgid, 100u);
    EXPECT_EQ(k.groups, groups);
    EXPECT_EQ(k.caps.effective | k.caps.permitted | k.caps.inheritable, 0u);
}

TEST(Drop, OrdinaryRunsAndRootItselfAreLeftAsTheyAre) {
    kernel = Kernel{};
    drop_privileges();
    EXPECT_EQ(kernel.changes, 0);
    expect_user_only(kernel, 2);

    // Root run by root: no user to become, so every capability and group stays.
    kernel = Kernel{};
    kernel.ruid = kernel.euid = kernel.suid = 0;
    kernel.rgid = kernel.egid = kernel.sgid = 0;
    kernel.caps = {ALL_CAPABILITIES, ALL_CAPABILITIES, 0};
    drop_privileges();
    EXPECT_EQ(kernel.changes, 0);
    EXPECT_EQ(kernel.euid, 0u);
    EXPECT_EQ(kernel.caps.effective, ALL_CAPABILITIES);
}

TEST(Drop, SetuidRootRunBecomesItsUserWithItsGroupsAndNoCapabilities) {
    kernel = setuid_root_run();
    drop_privileges();
    expect_user_only(kernel, 2);

    // Setuid and setgid root together.
    kernel = setuid_root_run();
    kernel.egid = kernel.sgid = 0;
    drop_privileges();
    expect_user_only(kernel, 2);

    // Capabilities left in the inheritable set go as well.
    kernel = setuid_root_run();
    kernel.caps.inheritable = RAWIO;
    drop_privileges();
    expect_user_only(kernel, 2);
}

TEST(Drop, FileCapabilityOrSetgidRunLosesWhatItGainedAndKeepsTheUsersGroups) {
    kernel = Kernel{};
    kernel.caps = {RAWIO, RAWIO, 0};
    drop_privileges();
    expect_user_only(kernel, 2);

    // Capability permitted but not effective still counts.
    kernel = Kernel{};
    kernel.caps = {0, RAWIO, 0};
    drop_privileges();
    expect_user_only(kernel, 2);

    // Installed setgid to the device's group.
    kernel = Kernel{};
    kernel.egid = kernel.sgid = 7;
    drop_privileges();
    expect_user_only(kernel, 2);
}

TEST(Drop, AnyStepThatFailsEndsTheRunInsteadOfGoingOnPrivileged) {
    for (const char* call : {"setresgid", "setresuid", "capset"}) {
        kernel = setuid_root_run();
        kernel.failing = call;
        const auto result = run_child([] {
            drop_privileges();
            return 0;
        });
        EXPECT_EQ(result.status, 1) << call;
        EXPECT_EQ(result.output, std::string("Cannot drop privileges (") + call +
                                     ": Operation not permitted), aborting!\n");
    }

    // A kernel that says yes and does nothing is caught by reading the result back.
    kernel = setuid_root_run();
    kernel.ignores_setresuid = true;
    const auto result = run_child([] {
        drop_privileges();
        return 0;
    });
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, "Cannot drop privileges (still privileged afterwards), aborting!\n");
}

// ---- The real thing: an installed copy run by an unprivileged user ----

struct Account {
    uid_t uid;
    gid_t gid;
};

Account unprivileged_user() {
    if (const passwd* entry = getpwnam("nobody")) return {entry->pw_uid, entry->pw_gid};
    return {65534, 65534};
}

constexpr gid_t EXTRA_GROUP = 20; // a supplementary group the user logs in with

// Runs `program` as `user`, with one supplementary group, as a login shell would start it.
testing_support::ChildResult run_as(Account user, const fs::path& program,
                                    const std::vector<std::string>& arguments) {
    return run_child([&] {
        const gid_t groups[] = {EXTRA_GROUP};
        if (setgroups(1, groups) != 0 || setresgid(user.gid, user.gid, user.gid) != 0 ||
            setresuid(user.uid, user.uid, user.uid) != 0) {
            return 125;
        }
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        return 126;
    });
}

// "after Uid:" -> the fields of that line of the probe's report.
std::map<std::string, std::vector<std::string>> report(const std::string& output) {
    std::map<std::string, std::vector<std::string>> fields;
    for (const std::string& line : testing_support::lines(output)) {
        std::istringstream words(line);
        std::string when, key, word;
        words >> when >> key;
        when.append(" ").append(key);
        std::vector<std::string>& values = fields[when];
        while (words >> word)
            values.push_back(word);
    }
    return fields;
}

struct Installation {
    testing_support::ScratchDir dir;
    fs::path program;
    fs::path users_dir; // owned by the user
    fs::path roots_dir; // owned by root, closed to others
};

// A copy of the probe owned by root, with folders the test user may and may not write to.
void install(Installation& at, Account user) {
    fs::permissions(at.dir.path, fs::perms::owner_all | fs::perms::group_read |
                                     fs::perms::group_exec | fs::perms::others_read |
                                     fs::perms::others_exec);
    at.program = at.dir.path / "probe";
    fs::copy_file(PROBE_PATH, at.program);
    at.users_dir = at.dir.path / "users";
    at.roots_dir = at.dir.path / "roots";
    fs::create_directory(at.users_dir);
    fs::create_directory(at.roots_dir);
    ASSERT_EQ(chown(at.users_dir.c_str(), user.uid, user.gid), 0);
    ASSERT_EQ(chmod(at.roots_dir.c_str(), 0755), 0);
}

void expect_nothing_but_the_user(const std::map<std::string, std::vector<std::string>>& fields,
                                 Account user, const std::vector<std::string>& groups) {
    const std::string uid = std::to_string(user.uid);
    const std::string gid = std::to_string(user.gid);
    EXPECT_EQ(fields.at("after Uid:"), (std::vector<std::string>{uid, uid, uid, uid}));
    EXPECT_EQ(fields.at("after Gid:"), (std::vector<std::string>{gid, gid, gid, gid}));
    EXPECT_EQ(fields.at("after Groups:"), groups);
    for (const char* set : {"after CapInh:", "after CapPrm:", "after CapEff:", "after CapAmb:"}) {
        EXPECT_EQ(fields.at(set), std::vector<std::string>{"0000000000000000"}) << set;
    }
}

void expect_files_only_where_the_user_may(const Installation& at,
                                          const testing_support::ChildResult& result,
                                          Account user) {
    const fs::path allowed = at.users_dir / "A.85n";
    const fs::path closed = at.roots_dir / "A.85n";
    EXPECT_NE(result.output.find("create " + allowed.string() + ": done\n"), std::string::npos);
    EXPECT_NE(result.output.find("create " + closed.string() + ": Permission denied\n"),
              std::string::npos);
    struct stat status {};
    ASSERT_EQ(stat(allowed.c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, user.uid);
    EXPECT_EQ(status.st_gid, user.gid);
    EXPECT_FALSE(fs::exists(closed));
}

bool suid_allowed(const fs::path& dir) {
    struct statvfs info {};
    return statvfs(dir.c_str(), &info) == 0 && (info.f_flag & ST_NOSUID) == 0;
}

TEST(Installed, SetuidRootCopyRunByAUserKeepsOnlyItsPortAccess) {
    if (geteuid() != 0) GTEST_SKIP() << "installing a setuid root copy needs root";
    const Account user = unprivileged_user();
    Installation at;
    install(at, user);
    if (!suid_allowed(at.dir.path)) GTEST_SKIP() << "the scratch folder is mounted nosuid";
    ASSERT_EQ(chown(at.program.c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(at.program.c_str(), 04755), 0);

    const auto result = run_as(user, at.program, {at.users_dir / "A.85n", at.roots_dir / "A.85n"});
    ASSERT_EQ(result.status, 0) << result.output;
    const auto fields = report(result.output);
    if (fields.at("before Uid:").at(1) != "0") GTEST_SKIP() << "setuid bits are not honoured here";
    // The user's own groups stay: they may be what lets the user write where files go.
    expect_nothing_but_the_user(fields, user, {std::to_string(EXTRA_GROUP)});
    expect_files_only_where_the_user_may(at, result, user);
}

TEST(Installed, FileCapabilityCopyRunByAUserEndsWithoutCapabilities) {
    if (geteuid() != 0) GTEST_SKIP() << "setting a file capability needs root";
    const Account user = unprivileged_user();
    Installation at;
    install(at, user);
    if (!suid_allowed(at.dir.path)) GTEST_SKIP() << "the scratch folder is mounted nosuid";
    vfs_cap_data capability{};
    capability.magic_etc = VFS_CAP_REVISION_2 | VFS_CAP_FLAGS_EFFECTIVE;
    capability.data[0].permitted = 1u << CAP_SYS_RAWIO;
    if (setxattr(at.program.c_str(), "security.capability", &capability, XATTR_CAPS_SZ_2, 0) != 0) {
        GTEST_SKIP() << "file capabilities cannot be set here: " << std::strerror(errno);
    }

    const auto result = run_as(user, at.program, {at.users_dir / "A.85n", at.roots_dir / "A.85n"});
    ASSERT_EQ(result.status, 0) << result.output;
    const auto fields = report(result.output);
    if (fields.at("before CapEff:") != std::vector<std::string>{"0000000000020000"}) {
        GTEST_SKIP() << "file capabilities are not honoured here";
    }
    // It never had more groups than its user, and keeps those.
    expect_nothing_but_the_user(fields, user, {std::to_string(EXTRA_GROUP)});
    expect_files_only_where_the_user_may(at, result, user);
}

} // namespace
