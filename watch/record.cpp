// The record file's lines: each one whole in one write, a line the disk took only part of marked as
// cut and ended first, and the file told apart from whatever its name leads to later.
#include "watch_os.h"

namespace watch::os {

bool Record::append(const std::string& line) {
    // After a line the disk took only part of, the cut mark and a line end of its own: the torn
    // part stays a line that readers know for cut, and the next line starts whole.
    std::string text;
    if (torn_) {
        text.append(1, core::record::cutMark).append(lineEnd);
    }
    text.append(line, 0, line.ends_with('\n') ? line.size() - 1 : line.size()).append(lineEnd);
    const long wrote = writeAtEnd(text);
    const bool whole = wrote == static_cast<long>(text.size());
    // A write refused outright leaves the file as it was: torn still, or whole still.
    torn_ = !whole && (wrote > 0 || torn_);
    return whole;
}

bool Record::stillThere() const {
    const auto named = core::system::identityOf(path_);
    return named && named == core::system::identityOf(file_);
}

} // namespace watch::os
