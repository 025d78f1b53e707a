// SPDX-License-Identifier: Apache-2.0
#include "tests/record/record_test_support.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace kestravo::test {

std::string RecordingStore::Text(std::string_view control) const {
    const_cast<RecordingStore*>(this)->reads.emplace_back(control);
    return MapSettingsStore::Text(control);
}

void RecordingStore::SetText(std::string_view control, const std::string& text) {
    writes.push_back(std::string(control) + "=" + text);
    MapSettingsStore::SetText(control, text);
}

int RecordingStore::ItemIndex(std::string_view control) const {
    const_cast<RecordingStore*>(this)->reads.emplace_back(control);
    return MapSettingsStore::ItemIndex(control);
}

void RecordingStore::SetItemIndex(std::string_view control, int index) {
    writes.push_back(std::string(control) + "=" + std::to_string(index));
    MapSettingsStore::SetItemIndex(control, index);
}

bool RecordingStore::Checked(std::string_view control) const {
    const_cast<RecordingStore*>(this)->reads.emplace_back(control);
    return MapSettingsStore::Checked(control);
}

void RecordingStore::SetChecked(std::string_view control, bool checked) {
    writes.push_back(std::string(control) + "=" + (checked ? "1" : "0"));
    MapSettingsStore::SetChecked(control, checked);
}

void SetWorkedExampleTwo(RecordingStore& store) {
    const int items[] = {2, 3, 1, 2, 3, 3, 2, 1, 2, 2, 1, 1};
    for (int i = 0; i < 12; ++i) store.SetItemIndex("ComboBox" + std::to_string(i + 1), items[i]);
    const std::pair<const char*, const char*> edits[] = {
        {"Edit3", "1440"}, {"Edit4", "200"},   {"Edit5", "30"},  {"Edit6", "9"},
        {"Edit7", "10"},   {"Edit8", "59"},    {"Edit9", "15"},  {"Edit10", "45"},
        {"Edit11", "20"},  {"Edit12", "1"},    {"Edit13", "2"},  {"Edit14", "3"},
        {"Edit15", "65000"}, {"Edit16", "1"},  {"Edit17", "33"}, {"Edit18", "120"},
        {"Edit19", "60"},  {"Edit20", "-20"},  {"Edit21", "45"}, {"Edit22", "500"},
        {"Edit23", "1440"}, {"Edit24", "2048"}, {"Edit25", "30"}, {"Edit26", "100"},
    };
    for (const auto& [control, text] : edits) store.SetText(control, text);
    for (int box : {2, 3, 4, 5, 6, 8, 10, 12, 14}) store.SetChecked("CheckBox" + std::to_string(box), true);
    store.writes.clear();
}

std::filesystem::path TemporaryFolderEveryoneReaches() {
    std::vector<std::filesystem::path> candidates;
    std::error_code error;
    if (const auto fromEnvironment = std::filesystem::temp_directory_path(error); !error)
        candidates.push_back(fromEnvironment);
    for (const char* folder : {"/tmp", "/var/tmp", "/dev/shm"}) candidates.emplace_back(folder);
    for (const auto& candidate : candidates) {
        const auto real = std::filesystem::canonical(candidate, error);
        if (error) continue;
        bool reachable = true;
        for (std::filesystem::path step = real;; step = step.parent_path()) {
            struct stat status {};
            if (::stat(step.c_str(), &status) != 0 || !S_ISDIR(status.st_mode) || (status.st_mode & S_IXOTH) == 0) {
                reachable = false;
                break;
            }
            if (step == step.root_path()) break;
        }
        // The folder itself must take new entries from its owner (root, where the tests switch).
        if (reachable && ::access(real.c_str(), W_OK | X_OK) == 0) return real;
    }
    return {};
}

ScratchFolder::ScratchFolder(Reach reach) {
    std::filesystem::path base = std::filesystem::temp_directory_path();
    if (reach == Reach::Everyone) {
        base = TemporaryFolderEveryoneReaches();
        if (base.empty())
            throw std::runtime_error("no temporary folder (TMPDIR, /tmp, /var/tmp, /dev/shm) that every user can reach");
    }
    std::string pattern = (base / "kestravo-rec-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

ScratchFolder::~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> ScratchFolder::Entries() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path_))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path.string());
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

LimitFileSize::LimitFileSize() {
    getrlimit(RLIMIT_FSIZE, &saved_);
    savedHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved_;
    small.rlim_cur = 10;
    setrlimit(RLIMIT_FSIZE, &small);
}

LimitFileSize::~LimitFileSize() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, savedHandler_);
}

} // namespace kestravo::test
