// SPDX-License-Identifier: Apache-2.0
#include "record/codec.h"
#include "tests/record/record_test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace kestravo {
namespace {

using test::LimitFileSize;
using test::ReadBytes;
using test::RecordingStore;
using test::ScratchFolder;
using test::WriteBytes;

const std::vector<std::uint8_t> kOldContent = {'o', 'l', 'd', ' ', 'r', 'e', 'c', 'o', 'r', 'd'};

class Save : public testing::Test {
protected:
    void SetUp() override { RetainedRecord().fill(0); }
    void TearDown() override { RetainedRecord().fill(0); }

    // Expects SaveToFile to fail with a message naming the path and the system's reason.
    void ExpectFileError(const std::string& path, int error) {
        try {
            SaveToFile(store, path);
            ADD_FAILURE() << "saved to " << path;
        } catch (const EFileError& failure) {
            const std::string message = failure.what();
            EXPECT_NE(message.find(path), std::string::npos) << message;
            EXPECT_NE(message.find(std::strerror(error)), std::string::npos) << message;
        }
    }

    RecordingStore store;
    ScratchFolder folder;
};

TEST_F(Save, WritesTheWholeRecordReplacingALongerFile) {
    const auto target = folder / "300234010000001.sbd";
    WriteBytes(target, std::vector<std::uint8_t>(100, 0xEE));
    store.SetText("Edit2", "$123");
    SaveToFile(store, target.string());
    const auto bytes = ReadBytes(target);
    const TConfigRecord expected = EncodeRecord(store);
    EXPECT_EQ(bytes, std::vector<std::uint8_t>(expected.begin(), expected.end()));
    EXPECT_EQ(folder.Entries(), std::vector<std::string>{"300234010000001.sbd"});
}

TEST_F(Save, AReplacedFileKeepsItsPermissions) {
    const auto target = folder / "kept.sbd";
    WriteBytes(target, kOldContent);
    namespace fs = std::filesystem;
    const fs::perms chosen = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
    fs::permissions(target, chosen);
    SaveToFile(store, target.string());
    EXPECT_EQ(fs::status(target).permissions(), chosen);
    EXPECT_EQ(ReadBytes(target).size(), kRecordSize);
}

TEST_F(Save, RelativePathLandsInTheWorkingFolder) {
    struct WorkIn {
        std::filesystem::path previous = std::filesystem::current_path();
        explicit WorkIn(const std::filesystem::path& p) { std::filesystem::current_path(p); }
        ~WorkIn() { std::filesystem::current_path(previous); }
    };
    {
        WorkIn here(folder.Path());
        SaveToFile(store, "temp.sbd");
    }
    EXPECT_EQ(ReadBytes(folder / "temp.sbd").size(), kRecordSize);
    EXPECT_EQ(folder.Entries(), std::vector<std::string>{"temp.sbd"});
}

TEST_F(Save, AnInvalidTextTouchesNoFile) {
    const auto target = folder / "kept.sbd";
    WriteBytes(target, kOldContent);
    store.SetText("Edit2", "");
    EXPECT_THROW(SaveToFile(store, target.string()), EConvertError);
    EXPECT_THROW(SaveToFile(store, (folder / "new.sbd").string()), EConvertError);
    EXPECT_EQ(ReadBytes(target), kOldContent);
    EXPECT_EQ(folder.Entries(), std::vector<std::string>{"kept.sbd"});
}

TEST_F(Save, ATargetThatIsAFolderIsRefusedAndKeepsItsContent) {
    const auto target = folder / "record.sbd";
    std::filesystem::create_directory(target);
    WriteBytes(target / "inside", kOldContent);
    ExpectFileError(target.string(), EISDIR);
    EXPECT_EQ(ReadBytes(target / "inside"), kOldContent);
    EXPECT_EQ(folder.Entries(), std::vector<std::string>{"record.sbd"});
}

TEST_F(Save, AMissingOrImpossibleFolderIsRefused) {
    ExpectFileError((folder / "no-such-folder" / "x.sbd").string(), ENOENT);
    WriteBytes(folder / "plain-file", kOldContent);
    ExpectFileError((folder / "plain-file" / "x.sbd").string(), ENOTDIR);
    EXPECT_EQ(ReadBytes(folder / "plain-file"), kOldContent);
    EXPECT_EQ(folder.Entries(), std::vector<std::string>{"plain-file"});
    EXPECT_THROW(SaveToFile(store, ""), EFileError);
}

// A write that stops short (here the file-size limit, which binds root too) must not leave a
// truncated record in place of the old one.
TEST_F(Save, AWriteThatStopsShortLeavesTheExistingFileAsItWas) {
    const auto target = folder / "kept.sbd";
    WriteBytes(target, kOldContent);

    {
        LimitFileSize limit;
        ExpectFileError(target.string(), EFBIG);
    }
    EXPECT_EQ(ReadBytes(target), kOldContent);
    EXPECT_EQ(folder.Entries(), std::vector<std::string>{"kept.sbd"});

    SaveToFile(store, target.string()); // with the limit lifted the same save succeeds
    EXPECT_EQ(ReadBytes(target).size(), kRecordSize);
}

} // namespace
} // namespace kestravo
