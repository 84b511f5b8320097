// Outputs replaced whole by rename, which a crash or a full disk cannot leave half done.
#include "output_file.h"

#include <utility>

#include "report_os.h"

namespace report {
namespace fs = std::filesystem;
using namespace os;
using core::system::describe;
using core::system::displayName;
using core::system::isAbsent;
using core::system::lastFailure;
namespace {

// Closes on every path; close() hands the handle back for a close whose failure counts.
class Handle {
  public:
    explicit Handle(NativeFile file) : file_(file) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() {
        if (file_ != noFile) {
            closeFile(file_);
        }
    }
    NativeFile get() const { return file_; }
    bool isOpen() const { return file_ != noFile; }
    Failure close() { return closeFile(std::exchange(file_, noFile)); }

  private:
    NativeFile file_;
};

// The first failure of a sequence of steps; later steps are skipped once one has failed.
class Steps {
  public:
    template <typename Step> Steps& then(Step&& step) {
        if (failure_ == 0) {
            failure_ = step();
        }
        return *this;
    }
    Failure failure() const { return failure_; }

  private:
    Failure failure_ = 0;
};

// Follows a chain of symlinks to the file it names, which does not exist yet.
fs::path newFileAt(fs::path path) {
    std::error_code error;
    for (int hops = 0; hops < 40 && fs::is_symlink(fs::symlink_status(path, error)); ++hops) {
        const fs::path link = fs::read_symlink(path, error);
        if (error) {
            break;
        }
        path = link.is_absolute() ? link : path.parent_path() / link;
    }
    return path;
}

fs::path folderOf(const fs::path& path) {
    return path.has_parent_path() ? path.parent_path() : fs::path(".");
}

std::string failed(const fs::path& path, const std::string& why) {
    return "cannot write " + displayName(path) + ": " + why;
}

Failure writeEach(NativeFile file, const Pieces& pieces) {
    return pieces([file](std::string_view piece) { return writeAll(file, piece); });
}

// Written where it is, as a shell's > would: truncated first unless it is a device or a pipe,
// which are appended to.
std::string writeInPlace(const fs::path& path, Handle& target, const Pieces& pieces) {
    const bool regular = isRegular(target.get());
    const Failure failure = Steps()
                                .then([&] { return regular ? truncate(target.get()) : 0; })
                                .then([&] { return writeEach(target.get(), pieces); })
                                .then([&] { return regular ? flush(target.get()) : 0; })
                                .then([&] { return target.close(); })
                                .failure();
    return failure == 0 ? std::string() : failed(path, describe(failure));
}

} // namespace

std::string writeOutput(const fs::path& path, std::string_view text) {
    return writeOutput(path, [text](const Write& write) { return write(text); });
}

std::string writeOutput(const fs::path& path, const Pieces& pieces) {
    Handle target(openExisting(path));
    if (!target.isOpen() && !isAbsent(lastFailure())) {
        return failed(path, describe(lastFailure())); // a symlink loop, a folder, no permission...
    }
    if (target.isOpen() && (!isRegular(target.get()) || linksOf(target.get()) > 1)) {
        return writeInPlace(path, target, pieces);
    }

    const fs::path destination = target.isOpen() ? finalPath(target.get(), path) : newFileAt(path);
    const fs::path folder = folderOf(destination);
    fs::path temporaryPath;
    Handle temporary(createTemporary(folder, temporaryPath));
    if (!temporary.isOpen()) {
        const Failure why = lastFailure();
        // A folder closed to us holding a file open to us: written as > would write it.
        return target.isOpen() && isRefusal(why)
                   ? writeInPlace(path, target, pieces)
                   : failed(path, "no temporary file can be made in " + displayName(folder) +
                                      " to write it under (" + describe(why) + ")");
    }
    const Failure unlike =
        target.isOpen() ? makeLike(temporary.get(), target.get()) : makeNew(temporary.get());
    if (unlike != 0) {
        temporary.close();
        removeFile(temporaryPath);
        return target.isOpen() ? writeInPlace(path, target, pieces)
                               : failed(path, describe(unlike));
    }
    const bool replacing = target.isOpen();
    const Failure failure =
        Steps()
            .then([&] { return writeEach(temporary.get(), pieces); })
            .then([&] { return flush(temporary.get()); })
            .then([&] { return temporary.close(); })
            .then([&] { return target.isOpen() ? target.close() : 0; })
            .then([&] { return replace(temporaryPath, destination, replacing); })
            .failure();
    if (failure != 0) {
        if (temporary.isOpen()) {
            temporary.close(); // Windows removes no file that is still open
        }
        removeFile(temporaryPath); // nothing half-written stays behind, under either name
        return failed(path, describe(failure));
    }
    return {};
}

} // namespace report
