// SPDX-License-Identifier: Apache-2.0
// The one reader and the one writer of record files, against every kind of thing a path can name.
#include "record/record_file.h"
#include "tests/record/record_test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kestravo {
namespace {

namespace fs = std::filesystem;
using test::LimitFileSize;
using test::ReadBytes;
using test::ScratchFolder;
using test::WriteBytes;

const std::vector<std::uint8_t> kOld = {'o', 'l', 'd', ' ', 'c', 'o', 'n', 't', 'e', 'n', 't'};

TConfigRecord SampleRecord() {
    TConfigRecord record{};
    for (std::size_t i = 0; i < record.size(); ++i) record[i] = static_cast<std::uint8_t>(i * 7 + 1);
    return record;
}

std::vector<std::uint8_t> Bytes(const TConfigRecord& record) {
    return {record.begin(), record.end()};
}

struct stat StatOf(const fs::path& path) {
    struct stat status{};
    EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
    return status;
}

struct Outcome {
    bool ok = false;
    std::string message;
};

Outcome Write(const std::string& path) {
    try {
        WriteRecordFile(path, SampleRecord());
        return {true, {}};
    } catch (const EFileError& failure) {
        return {false, failure.what()};
    }
}

const passwd* Nobody() {
    return ::getpwnam("nobody");
}

// The write as an ordinary user: root is no ordinary user (it may write any file and folder), so
// then the write runs in a child that has become "nobody".
Outcome WriteAsOrdinaryUser(const std::string& path) {
    if (::geteuid() != 0) return Write(path);
    const passwd* nobody = Nobody();
    if (nobody == nullptr) return {false, "no user \"nobody\""};
    int channel[2];
    if (::pipe(channel) != 0) return {false, "pipe failed"};
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(channel[0]);
        if (::setgroups(0, nullptr) != 0 || ::setgid(nobody->pw_gid) != 0 ||
            ::setuid(nobody->pw_uid) != 0)
            ::_exit(3);
        const Outcome outcome = Write(path);
        const std::string report = (outcome.ok ? "1" : "0") + outcome.message;
        [[maybe_unused]] const auto ignored = ::write(channel[1], report.data(), report.size());
        ::_exit(0);
    }
    ::close(channel[1]);
    std::string report;
    char buffer[512];
    for (ssize_t n; (n = ::read(channel[0], buffer, sizeof buffer)) > 0;) report.append(buffer, n);
    ::close(channel[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || report.empty())
        return {false, "the child could not become nobody"};
    return {report[0] == '1', report.substr(1)};
}

// One row: how the folder is prepared, which path is written, what must hold afterwards.
struct WriteCase {
    std::string name;
    enum class Needs { Nothing, Root, DeviceNodes, OtherOwner } needs = Needs::Nothing;
    bool ordinaryUser = false;
    std::function<void(const ScratchFolder&, int& reader)> prepare;
    std::string target;
    bool succeeds = true;
    std::vector<std::string> mentions; // in the failure message
    std::function<void(const ScratchFolder&, int reader, ino_t inodeBefore)> check;
};

void PrintTo(const WriteCase& c, std::ostream* out) { *out << c.name; }

void OwnBy(const fs::path& path, const passwd* user) {
    if (user != nullptr && ::geteuid() == 0) {
        ASSERT_EQ(::lchown(path.c_str(), user->pw_uid, user->pw_gid), 0) << path;
    }
}

// Root in a user namespace (a rootless container, a build chroot) is root to geteuid but may not
// make device nodes, and a temporary folder mounted nodev makes them useless; only trying tells.
bool CanMakeDeviceNodes() {
    if (::geteuid() != 0) return false;
    ScratchFolder folder;
    if (::mknod((folder / "null").c_str(), S_IFCHR | 0666, ::makedev(1, 3)) != 0) return false;
    const int fd = ::open((folder / "null").c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

// Whether root can hand a file to "nobody": not where that user is missing, nor in a user
// namespace that maps root alone (unshare -r).
bool CanGiveFilesToNobody() {
    const passwd* nobody = Nobody();
    if (nobody == nullptr) return false;
    ScratchFolder folder;
    WriteBytes(folder / "probe", {});
    return ::lchown((folder / "probe").c_str(), nobody->pw_uid, nobody->pw_gid) == 0;
}

std::vector<WriteCase> WriteCases() {
    const std::vector<std::uint8_t> record = Bytes(SampleRecord());
    return {
        {"OwnFileIsReplacedByRenameKeepingItsMode", WriteCase::Needs::Nothing, false,
         [](const ScratchFolder& f, int&) {
             WriteBytes(f / "own.sbd", kOld);
             fs::permissions(f / "own.sbd", fs::perms::owner_read | fs::perms::owner_write |
                                                fs::perms::group_read);
         },
         "own.sbd", true, {},
         [record](const ScratchFolder& f, int, ino_t before) {
             EXPECT_EQ(ReadBytes(f / "own.sbd"), record);
             EXPECT_NE(StatOf(f / "own.sbd").st_ino, before); // a new file took the name
             EXPECT_EQ(StatOf(f / "own.sbd").st_mode & 07777, 0640u);
         }},
        {"SymbolicLinkIsFollowedAndStaysALink", WriteCase::Needs::Nothing, false,
         [](const ScratchFolder& f, int&) {
             fs::create_directory(f / "real");
             WriteBytes(f / "real" / "target.sbd", kOld);
             fs::create_symlink("real/target.sbd", f / "link.sbd");
         },
         "link.sbd", true, {},
         [record](const ScratchFolder& f, int, ino_t) {
             EXPECT_TRUE(fs::is_symlink(f / "link.sbd"));
             EXPECT_EQ(fs::read_symlink(f / "link.sbd"), "real/target.sbd");
             EXPECT_EQ(ReadBytes(f / "real" / "target.sbd"), record);
             EXPECT_EQ(f.Entries(), (std::vector<std::string>{"link.sbd", "real"}));
         }},
        {"DanglingSymbolicLinkCreatesItsTarget", WriteCase::Needs::Nothing, false,
         [](const ScratchFolder& f, int&) { fs::create_symlink("made.sbd", f / "link.sbd"); },
         "link.sbd", true, {},
         [record](const ScratchFolder& f, int, ino_t) {
             EXPECT_TRUE(fs::is_symlink(f / "link.sbd"));
             EXPECT_EQ(ReadBytes(f / "made.sbd"), record);
         }},
        {"FifoWithAReaderIsWrittenLikeAStream", WriteCase::Needs::Nothing, false,
         [](const ScratchFolder& f, int& reader) {
             ASSERT_EQ(::mkfifo((f / "pipe").c_str(), 0600), 0);
             // Opened before the write, so the pipe has its reader; 44 bytes fit its buffer.
             reader = ::open((f / "pipe").c_str(), O_RDONLY | O_NONBLOCK);
             ASSERT_GE(reader, 0);
         },
         "pipe", true, {},
         [record](const ScratchFolder& f, int reader, ino_t before) {
             std::vector<std::uint8_t> got(100);
             const ssize_t n = ::read(reader, got.data(), got.size());
             ASSERT_GE(n, 0);
             got.resize(static_cast<std::size_t>(n));
             EXPECT_EQ(got, record);
             EXPECT_TRUE(S_ISFIFO(StatOf(f / "pipe").st_mode));
             EXPECT_EQ(StatOf(f / "pipe").st_ino, before);
         }},
        {"FifoWithoutAReaderIsRefusedAtOnce", WriteCase::Needs::Nothing, false,
         [](const ScratchFolder& f, int&) { ASSERT_EQ(::mkfifo((f / "pipe").c_str(), 0600), 0); },
         "pipe", false, {"no program is reading the pipe"},
         [](const ScratchFolder& f, int, ino_t before) {
             EXPECT_TRUE(S_ISFIFO(StatOf(f / "pipe").st_mode));
             EXPECT_EQ(StatOf(f / "pipe").st_ino, before);
             EXPECT_EQ(f.Entries(), std::vector<std::string>{"pipe"});
         }},
        {"HardLinkedFileIsWrittenInPlace", WriteCase::Needs::Nothing, false,
         [](const ScratchFolder& f, int&) {
             WriteBytes(f / "a.sbd", std::vector<std::uint8_t>(100, 0xEE));
             fs::create_hard_link(f / "a.sbd", f / "b.sbd");
         },
         "a.sbd", true, {},
         [record](const ScratchFolder& f, int, ino_t before) {
             EXPECT_EQ(ReadBytes(f / "b.sbd"), record); // the other name sees the new record
             EXPECT_EQ(StatOf(f / "a.sbd").st_ino, before);
             EXPECT_EQ(StatOf(f / "a.sbd").st_nlink, 2u);
         }},
        {"CopyOfTheNullDeviceIsWrittenNotReplaced", WriteCase::Needs::DeviceNodes, false,
         [](const ScratchFolder& f, int&) {
             ASSERT_EQ(::mknod((f / "null").c_str(), S_IFCHR | 0666, ::makedev(1, 3)), 0);
         },
         "null", true, {},
         [](const ScratchFolder& f, int, ino_t before) {
             EXPECT_TRUE(S_ISCHR(StatOf(f / "null").st_mode));
             EXPECT_EQ(StatOf(f / "null").st_rdev, ::makedev(1, 3));
             EXPECT_EQ(StatOf(f / "null").st_ino, before);
         }},
        {"ReadOnlyFileIsRefusedWithTheSystemsReason", WriteCase::Needs::Nothing, true,
         [](const ScratchFolder& f, int&) {
             WriteBytes(f / "ro.sbd", kOld);
             OwnBy(f / "ro.sbd", Nobody());
             fs::permissions(f / "ro.sbd", fs::perms::owner_read | fs::perms::group_read |
                                               fs::perms::others_read);
         },
         "ro.sbd", false, {std::strerror(EACCES)},
         [](const ScratchFolder& f, int, ino_t before) {
             EXPECT_EQ(ReadBytes(f / "ro.sbd"), kOld);
             EXPECT_EQ(StatOf(f / "ro.sbd").st_ino, before);
             EXPECT_EQ(f.Entries(), std::vector<std::string>{"ro.sbd"});
         }},
        // Root may write any file, but a file's mode saying read-only binds root too. An ordinary
        // user is refused by the system itself (the row above).
        {"ReadOnlyOwnFileIsRefusedByItsModeEvenForRoot", WriteCase::Needs::Root, false,
         [](const ScratchFolder& f, int&) {
             WriteBytes(f / "ro.sbd", kOld);
             fs::permissions(f / "ro.sbd", fs::perms::owner_read | fs::perms::group_read |
                                               fs::perms::others_read);
         },
         "ro.sbd", false, {std::strerror(EACCES), "mode 0444"},
         [](const ScratchFolder& f, int, ino_t before) {
             EXPECT_EQ(ReadBytes(f / "ro.sbd"), kOld);
             EXPECT_EQ(StatOf(f / "ro.sbd").st_ino, before);
             EXPECT_EQ(f.Entries(), std::vector<std::string>{"ro.sbd"});
         }},
        {"AnotherOwnersFileWithoutWriteForOthersIsRefusedToRoot", WriteCase::Needs::OtherOwner, false,
         [](const ScratchFolder& f, int&) {
             WriteBytes(f / "theirs.sbd", kOld);
             fs::permissions(f / "theirs.sbd", fs::perms::owner_read | fs::perms::owner_write |
                                                   fs::perms::group_read | fs::perms::others_read);
             OwnBy(f / "theirs.sbd", Nobody());
         },
         "theirs.sbd", false, {std::strerror(EACCES), "mode 0644"},
         [](const ScratchFolder& f, int, ino_t before) {
             EXPECT_EQ(ReadBytes(f / "theirs.sbd"), kOld);
             EXPECT_EQ(StatOf(f / "theirs.sbd").st_ino, before);
             EXPECT_EQ(f.Entries(), std::vector<std::string>{"theirs.sbd"});
         }},
        {"WritableFileInAReadOnlyFolderIsWrittenInPlace", WriteCase::Needs::Nothing, true,
         [](const ScratchFolder& f, int&) {
             fs::create_directory(f / "locked");
             WriteBytes(f / "locked" / "in.sbd", std::vector<std::uint8_t>(100, 0xEE));
             OwnBy(f / "locked" / "in.sbd", Nobody());
             OwnBy(f / "locked", Nobody());
             fs::permissions(f / "locked", fs::perms::owner_read | fs::perms::owner_exec |
                                               fs::perms::group_read | fs::perms::group_exec |
                                               fs::perms::others_read | fs::perms::others_exec);
         },
         "locked/in.sbd", true, {},
         [record](const ScratchFolder& f, int, ino_t before) {
             EXPECT_EQ(ReadBytes(f / "locked" / "in.sbd"), record);
             EXPECT_EQ(StatOf(f / "locked" / "in.sbd").st_ino, before);
         }},
        {"AnotherOwnersWritableFileIsWrittenInPlaceAndKeepsItsOwner", WriteCase::Needs::OtherOwner,
         true,
         [](const ScratchFolder& f, int&) {
             fs::create_directory(f / "shared");
             fs::permissions(f / "shared", fs::perms::all);
             WriteBytes(f / "shared" / "theirs.sbd", kOld); // owned by root
             fs::permissions(f / "shared" / "theirs.sbd", fs::perms::all);
         },
         "shared/theirs.sbd", true, {},
         [record](const ScratchFolder& f, int, ino_t before) {
             EXPECT_EQ(ReadBytes(f / "shared" / "theirs.sbd"), record);
             EXPECT_EQ(StatOf(f / "shared" / "theirs.sbd").st_ino, before);
             EXPECT_EQ(StatOf(f / "shared" / "theirs.sbd").st_uid, 0u);
             EXPECT_EQ(f.Entries(), std::vector<std::string>{"shared"});
         }},
    };
}

class WriteRecordFileTest : public testing::TestWithParam<WriteCase> {};

TEST_P(WriteRecordFileTest, NeverDestroysWhatThePathNames) {
    const WriteCase& c = GetParam();
    const bool root = ::geteuid() == 0;
    if (c.needs == WriteCase::Needs::Root && !root)
        GTEST_SKIP() << "a row of what root meets; this row is left out";
    if (c.needs == WriteCase::Needs::DeviceNodes && !CanMakeDeviceNodes())
        GTEST_SKIP() << "device nodes cannot be made or used here (not root, root in a user "
                        "namespace, or a temporary folder mounted nodev); this row is left out";
    if (c.needs == WriteCase::Needs::OtherOwner && !root)
        GTEST_SKIP() << "a file of another owner can only be set up as root; this row is left out";
    if ((c.ordinaryUser || c.needs == WriteCase::Needs::OtherOwner) && root && !CanGiveFilesToNobody())
        GTEST_SKIP() << "running as root and there is no user \"nobody\" to write as (none, or "
                        "not mapped into this user namespace); this row is left out";
    // The user switched to must reach the folder whatever TMPDIR says.
    const bool switchesUser = c.ordinaryUser && root;
    if (switchesUser && test::TemporaryFolderEveryoneReaches().empty())
        GTEST_SKIP() << "no temporary folder (TMPDIR, /tmp, /var/tmp, /dev/shm) that \"nobody\" can reach";

    ScratchFolder folder(switchesUser ? ScratchFolder::Reach::Everyone : ScratchFolder::Reach::Owner);
    fs::permissions(folder.Path(), fs::perms::owner_all | fs::perms::group_read |
                                       fs::perms::group_exec | fs::perms::others_read |
                                       fs::perms::others_exec);
    int reader = -1;
    c.prepare(folder, reader);
    if (testing::Test::HasFatalFailure()) return;
    const fs::path target = folder / c.target;
    const ino_t before = fs::exists(fs::symlink_status(target)) ? StatOf(target).st_ino : 0;

    const Outcome outcome = c.ordinaryUser ? WriteAsOrdinaryUser(target.string()) : Write(target.string());
    EXPECT_EQ(outcome.ok, c.succeeds) << outcome.message;
    if (!c.succeeds) {
        EXPECT_NE(outcome.message.find(target.string()), std::string::npos) << outcome.message;
        for (const std::string& m : c.mentions)
            EXPECT_NE(outcome.message.find(m), std::string::npos) << outcome.message;
        EXPECT_EQ(outcome.message.find("incomplete"), std::string::npos) << outcome.message;
    }
    c.check(folder, reader, before);
    if (reader >= 0) ::close(reader);
    for (const auto& entry : fs::directory_iterator(folder.Path())) // so that it can be removed
        if (entry.is_directory() && !entry.is_symlink())
            fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add);
}

INSTANTIATE_TEST_SUITE_P(Kinds, WriteRecordFileTest, testing::ValuesIn(WriteCases()),
                         [](const auto& info) { return info.param.name; });

// A write that stops short (the file-size limit binds root too) says the file may be incomplete
// only where it wrote in place; a replaced file is left whole and says nothing of the kind.
TEST(WriteRecordFileStopsShort, OnlyAnInPlaceWriteSaysTheFileMayBeIncomplete) {
    ScratchFolder folder;
    WriteBytes(folder / "linked.sbd", std::vector<std::uint8_t>(100, 0xEE));
    fs::create_hard_link(folder / "linked.sbd", folder / "other-name.sbd");
    WriteBytes(folder / "own.sbd", kOld);

    Outcome inPlace;
    Outcome replaced;
    {
        LimitFileSize limit;
        inPlace = Write((folder / "linked.sbd").string());
        replaced = Write((folder / "own.sbd").string());
    }
    EXPECT_FALSE(inPlace.ok);
    EXPECT_NE(inPlace.message.find(std::strerror(EFBIG)), std::string::npos) << inPlace.message;
    EXPECT_NE(inPlace.message.find("may be incomplete"), std::string::npos) << inPlace.message;
    EXPECT_FALSE(replaced.ok);
    EXPECT_EQ(replaced.message.find("incomplete"), std::string::npos) << replaced.message;
    EXPECT_EQ(ReadBytes(folder / "own.sbd"), kOld);
    EXPECT_EQ(folder.Entries(), (std::vector<std::string>{"linked.sbd", "other-name.sbd", "own.sbd"}));
}

// A device that refuses the bytes is named with the system's reason, and stays a device.
TEST(WriteRecordFileStopsShort, AFullDeviceIsNamedWithTheReason) {
    if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full to fail the write";
    const Outcome outcome = Write("/dev/full");
    EXPECT_FALSE(outcome.ok);
    EXPECT_NE(outcome.message.find("\"/dev/full\""), std::string::npos) << outcome.message;
    EXPECT_NE(outcome.message.find(std::strerror(ENOSPC)), std::string::npos) << outcome.message;
    EXPECT_TRUE(S_ISCHR(StatOf("/dev/full").st_mode));
}

// ---- Reading ----------------------------------------------------------------------------------

struct ReadCase {
    std::string name;
    std::function<void(const ScratchFolder&)> prepare;
    EFileError::Problem problem;
    std::string mentions;
};

void PrintTo(const ReadCase& c, std::ostream* out) { *out << c.name; }

class ReadRecordFileTest : public testing::TestWithParam<ReadCase> {};

// Each refusal comes at once (nothing here may wait for a writer) and names the file.
TEST_P(ReadRecordFileTest, RefusesWhatIsNoRecordFile) {
    const ReadCase& c = GetParam();
    ScratchFolder folder;
    c.prepare(folder);
    const std::string path = (folder / "x.sbd").string();
    try {
        ReadRecordFile(path);
        FAIL() << "read " << path;
    } catch (const EFileError& failure) {
        const std::string message = failure.what();
        EXPECT_EQ(failure.GetProblem(), c.problem) << message;
        EXPECT_NE(message.find(path), std::string::npos) << message;
        EXPECT_NE(message.find(c.mentions), std::string::npos) << message;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ReadRecordFileTest,
    testing::Values(
        ReadCase{"Missing", [](const ScratchFolder&) {}, EFileError::Problem::CannotOpen,
                 std::strerror(ENOENT)},
        ReadCase{"Folder", [](const ScratchFolder& f) { fs::create_directory(f / "x.sbd"); },
                 EFileError::Problem::Folder, std::strerror(EISDIR)},
        ReadCase{"FifoWithoutAWriter",
                 [](const ScratchFolder& f) { ASSERT_EQ(::mkfifo((f / "x.sbd").c_str(), 0600), 0); },
                 EFileError::Problem::NotRegular, "a pipe"},
        ReadCase{"LinkToAFifo",
                 [](const ScratchFolder& f) {
                     ASSERT_EQ(::mkfifo((f / "pipe").c_str(), 0600), 0);
                     fs::create_symlink("pipe", f / "x.sbd");
                 },
                 EFileError::Problem::NotRegular, "a pipe"},
        ReadCase{"Socket",
                 [](const ScratchFolder& f) {
                     const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
                     sockaddr_un address{};
                     address.sun_family = AF_UNIX;
                     const std::string path = (f / "x.sbd").string();
                     ASSERT_LT(path.size(), sizeof address.sun_path);
                     std::strcpy(address.sun_path, path.c_str());
                     ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
                     ::close(s); // the socket file stays
                 },
                 EFileError::Problem::NotRegular, "a socket"},
        ReadCase{"LinkToADevice",
                 [](const ScratchFolder& f) { fs::create_symlink("/dev/zero", f / "x.sbd"); },
                 EFileError::Problem::NotRegular, "a character device"},
        ReadCase{"Empty", [](const ScratchFolder& f) { WriteBytes(f / "x.sbd", {}); },
                 EFileError::Problem::Short, "holds 0 bytes"},
        ReadCase{"OneByte", [](const ScratchFolder& f) { WriteBytes(f / "x.sbd", {1}); },
                 EFileError::Problem::Short, "holds 1 byte;"},
        ReadCase{"OneShort",
                 [](const ScratchFolder& f) { WriteBytes(f / "x.sbd", std::vector<std::uint8_t>(43, 1)); },
                 EFileError::Problem::Short, "holds 43 bytes"}),
    [](const auto& info) { return info.param.name; });

TEST(ReadRecordFileGood, ReadsTheFirst44BytesThroughALink) {
    ScratchFolder folder;
    std::vector<std::uint8_t> content = Bytes(SampleRecord());
    content.resize(100, 0xFF);
    WriteBytes(folder / "long.sbd", content);
    fs::create_symlink("long.sbd", folder / "link.sbd");
    EXPECT_EQ(ReadRecordFile((folder / "link.sbd").string()), SampleRecord());
    EXPECT_EQ(ReadRecordFile((folder / "long.sbd").string()), SampleRecord());
}

} // namespace
} // namespace kestravo
