// SPDX-License-Identifier: Apache-2.0
#pragma once
// Helpers shared by the record tests: a settings store that records every write, the window's
// initial values, and scratch folders.
#include "record/codec.h"
#include "record/config_record.h"
#include "record/map_settings_store.h"
#include "record/settings_store.h"

#include <filesystem>
#include <sys/resource.h>
#include <string>
#include <vector>

namespace kestravo::test {

// The window's initial values in maps, with every read and write logged: reads by control,
// writes as "control=value".
class RecordingStore : public MapSettingsStore {
public:
    std::string Text(std::string_view control) const override;
    void SetText(std::string_view control, const std::string& text) override;
    int ItemIndex(std::string_view control) const override;
    void SetItemIndex(std::string_view control, int index) override;
    bool Checked(std::string_view control) const override;
    void SetChecked(std::string_view control, bool checked) override;

    std::vector<std::string> writes;
    std::vector<std::string> reads; // controls, in the order read
};

// The second worked example: every list, edit and box set (password left to the caller).
void SetWorkedExampleTwo(RecordingStore& store);

// A fresh folder under the system's temporary folder, removed with the object.
class ScratchFolder {
public:
    enum class Reach {
        Owner,    // under TMPDIR (or /tmp), whoever else can reach it
        Everyone, // under a temporary folder every user can reach, for tests that switch user
    };
    explicit ScratchFolder(Reach reach = Reach::Owner);
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
    // Names of the entries, sorted.
    std::vector<std::string> Entries() const;

private:
    std::filesystem::path path_;
};

// The first of TMPDIR, /tmp, /var/tmp and /dev/shm that every user can reach (each folder on
// its path searchable by others), or an empty path when none is.
std::filesystem::path TemporaryFolderEveryoneReaches();

std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& path);
void WriteBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);

// While it lives, files of this process may grow to 10 bytes at most (a limit that binds root
// too), and a write past that fails with EFBIG instead of raising SIGXFSZ.
class LimitFileSize {
public:
    LimitFileSize();
    ~LimitFileSize();
    LimitFileSize(const LimitFileSize&) = delete;
    LimitFileSize& operator=(const LimitFileSize&) = delete;

private:
    rlimit saved_{};
    void (*savedHandler_)(int) = nullptr;
};

} // namespace kestravo::test
