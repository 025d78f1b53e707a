#include "tools/record_tool/tool.h"

#include "record/codec.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace kestravo::tool {

std::int32_t SettingValue(const SettingsStore& store, const FieldSpec& field) {
    switch (field.kind) {
    case ControlKind::Edit: return TextToInt(store.Text(field.control));
    case ControlKind::ComboBox: return store.ItemIndex(field.control);
    case ControlKind::CheckBox: return store.Checked(field.control) ? 1 : 0;
    }
    return 0;
}

TConfigRecord ReadRecordFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw ToolFailure(kExitRefused,
                          "cannot read \"" + path + "\": " + std::strerror(errno));
    TConfigRecord record{};
    std::size_t got = 0;
    while (got < record.size()) {
        const ssize_t n = ::read(fd, record.data() + got, record.size() - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            ::close(fd);
            throw ToolFailure(kExitRefused,
                              "cannot read \"" + path + "\": " + std::strerror(error));
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (got < record.size())
        throw ToolFailure(kExitRefused, "\"" + path + "\" holds " + std::to_string(got) +
                                            " bytes; a record needs " +
                                            std::to_string(kRecordSize));
    return record;
}

} // namespace kestravo::tool
