#include "platform/Trash.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace kvr::platform {

namespace {

// Names tried in one trash before the call gives up: "a.mp3", "a.mp3.2" … "a.mp3.1000".
constexpr int maxNameTries = 1000;

class Descriptor {
public:
    explicit Descriptor(int fd = -1)
        : fd_(fd)
    {
    }
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Closes now; false when the close reported an error (a write that never reached the disk).
    bool reset()
    {
        const bool ok = fd_ < 0 || ::close(fd_) == 0;
        fd_ = -1;
        return ok;
    }

private:
    int fd_;
};

QString systemError(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

bool fail(QString* error, const QString& text)
{
    if (error)
        *error = text;
    return false;
}

QByteArray parentOf(const QByteArray& path)
{
    const int slash = path.lastIndexOf('/');
    return slash <= 0 ? QByteArray("/") : path.left(slash);
}

QByteArray join(const QByteArray& directory, const QByteArray& name)
{
    return directory.endsWith('/') ? directory + name : directory + '/' + name;
}

// The directory the user's own data lives in: $XDG_DATA_HOME when absolute, else ~/.local/share.
QByteArray dataHome()
{
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg && xdg[0] == '/')
        return QByteArray(xdg);
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/')
        return join(QByteArray(home), ".local/share");
    return {};
}

// The device a directory would be on once created: that of its nearest existing ancestor.
bool deviceOf(QByteArray path, dev_t& device)
{
    struct stat st { };
    // One step per component; a path has fewer components than bytes.
    for (int steps = path.size() + 1; steps > 0; --steps) {
        if (::stat(path.constData(), &st) == 0) {
            device = st.st_dev;
            return true;
        }
        if (errno != ENOENT || path == "/")
            return false;
        path = parentOf(path);
    }
    return false;
}

// Creates the directory and its missing parents with mode 0700; true when it is a directory afterwards.
bool makePath(const QByteArray& path)
{
    int from = 1;
    while (from <= path.size()) {
        int slash = path.indexOf('/', from);
        if (slash < 0)
            slash = path.size();
        const QByteArray prefix = path.left(slash);
        if (::mkdir(prefix.constData(), 0700) != 0 && errno != EEXIST)
            return false;
        from = slash + 1;
    }
    struct stat st { };
    return ::stat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A directory that is ours and no symbolic link; made 0700 when missing.
bool ownDirectory(const QByteArray& path)
{
    struct stat st { };
    if (::lstat(path.constData(), &st) != 0) {
        if (errno != ENOENT || ::mkdir(path.constData(), 0700) != 0 || ::lstat(path.constData(), &st) != 0)
            return false;
    }
    return S_ISDIR(st.st_mode) && st.st_uid == ::getuid();
}

// The highest directory above `directory` (itself included) on the given device: the mount's top.
QByteArray topDirectory(const QByteArray& directory, dev_t device)
{
    QByteArray top = directory;
    struct stat st { };
    for (int steps = directory.size() + 1; steps > 0 && top != "/"; --steps) {
        const QByteArray up = parentOf(top);
        if (::stat(up.constData(), &st) != 0 || st.st_dev != device)
            break;
        top = up;
    }
    return top;
}

// The trash at a mount's top: "$topdir/.Trash/$uid" when the administrator made "$topdir/.Trash" a real,
// sticky directory, else the user's own "$topdir/.Trash-$uid".
QByteArray topTrash(const QByteArray& top)
{
    const QByteArray uid = QByteArray::number(qulonglong(::getuid()));
    const QByteArray shared = join(top, ".Trash");
    struct stat st { };
    if (::lstat(shared.constData(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX)) {
        const QByteArray mine = join(shared, uid);
        if (ownDirectory(mine))
            return mine;
    }
    const QByteArray own = join(top, ".Trash-" + uid);
    return ownDirectory(own) ? own : QByteArray();
}

// A subdirectory of the trash, made 0700 when missing, opened without following a link.
int openSubdirectory(int trash, const char* name)
{
    if (::mkdirat(trash, name, 0700) != 0 && errno != EEXIST)
        return -1;
    return ::openat(trash, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

bool writeAll(int fd, const QByteArray& bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

QByteArray deletionDate()
{
    const std::time_t now = std::time(nullptr);
    std::tm local {};
    char text[32] = {};
    if (!localtime_r(&now, &local) || std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local) == 0)
        return {};
    return QByteArray(text);
}

// Renames without replacing an entry that appeared in the meantime; file systems without that flag get a
// plain rename, after the caller saw the name free.
int renameNoReplace(const QByteArray& from, int directory, const QByteArray& name)
{
    if (::renameat2(AT_FDCWD, from.constData(), directory, name.constData(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return -1;
    return ::renameat(AT_FDCWD, from.constData(), directory, name.constData());
}

} // namespace

bool moveToTrash(const QString& path, QString* error)
{
    if (path.isEmpty())
        return fail(error, QStringLiteral("Trash: no file given"));
    const QByteArray given = QFile::encodeName(QDir::cleanPath(QFileInfo(path).absoluteFilePath()));
    const QByteArray name = given.mid(given.lastIndexOf('/') + 1);
    if (name.isEmpty())
        return fail(error, QStringLiteral("Trash: %1: not a file").arg(path));

    struct stat file { };
    if (::lstat(given.constData(), &file) != 0)
        return fail(error, QStringLiteral("Trash: %1: %2").arg(path, systemError(errno)));
    // The folder resolved, the file itself not: a link goes to the trash as a link.
    char* resolved = ::realpath(parentOf(given).constData(), nullptr);
    if (!resolved)
        return fail(error, QStringLiteral("Trash: %1: %2").arg(path, systemError(errno)));
    const QByteArray folder(resolved);
    std::free(resolved);
    const QByteArray absolute = join(folder, name);

    QByteArray trash;
    QByteArray recorded;
    const QByteArray data = dataHome();
    const QByteArray homeTrash = data.isEmpty() ? QByteArray() : join(data, "Trash");
    dev_t homeDevice = 0;
    if (!homeTrash.isEmpty() && deviceOf(homeTrash, homeDevice) && homeDevice == file.st_dev) {
        if (!makePath(homeTrash))
            return fail(error, QStringLiteral("Trash: cannot create %1").arg(QFile::decodeName(homeTrash)));
        trash = homeTrash;
        recorded = absolute;
    } else {
        const QByteArray top = topDirectory(folder, file.st_dev);
        trash = topTrash(top);
        if (trash.isEmpty())
            return fail(error, QStringLiteral("Trash: no usable trash on the device of %1").arg(path));
        recorded = top == "/" ? absolute.mid(1) : absolute.mid(top.size() + 1);
    }

    const Descriptor trashDir(::open(trash.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!trashDir.valid())
        return fail(error, QStringLiteral("Trash: %1: %2").arg(QFile::decodeName(trash), systemError(errno)));
    const Descriptor files(openSubdirectory(trashDir.get(), "files"));
    const Descriptor info(openSubdirectory(trashDir.get(), "info"));
    if (!files.valid() || !info.valid())
        return fail(
            error, QStringLiteral("Trash: %1 has no usable files and info folders").arg(QFile::decodeName(trash)));

    const QByteArray date = deletionDate();
    if (date.isEmpty())
        return fail(error, QStringLiteral("Trash: no local time for the deletion date"));
    const QByteArray content
        = "[Trash Info]\nPath=" + QUrl::toPercentEncoding(recorded, "/") + "\nDeletionDate=" + date + "\n";

    for (int attempt = 1; attempt <= maxNameTries; ++attempt) {
        const QByteArray entry = attempt == 1 ? name : name + '.' + QByteArray::number(attempt);
        const QByteArray infoName = entry + ".trashinfo";
        // The info file claims the name: only a name clash tries the next one, any other error ends the call.
        Descriptor infoFile(
            ::openat(info.get(), infoName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!infoFile.valid()) {
            if (errno == EEXIST)
                continue;
            return fail(error,
                QStringLiteral("Trash: cannot write %1: %2")
                    .arg(QFile::decodeName(join(join(trash, "info"), infoName)), systemError(errno)));
        }
        struct stat taken { };
        if (::fstatat(files.get(), entry.constData(), &taken, AT_SYMLINK_NOFOLLOW) == 0) {
            infoFile.reset();
            ::unlinkat(info.get(), infoName.constData(), 0);
            continue;
        }
        const bool written = writeAll(infoFile.get(), content);
        const int writeError = errno;
        if (!infoFile.reset() || !written) {
            ::unlinkat(info.get(), infoName.constData(), 0);
            return fail(error,
                QStringLiteral("Trash: cannot write %1: %2")
                    .arg(QFile::decodeName(infoName), systemError(written ? errno : writeError)));
        }
        if (renameNoReplace(given, files.get(), entry) == 0)
            return true;
        const int renameError = errno;
        ::unlinkat(info.get(), infoName.constData(), 0);
        if (renameError == EEXIST)
            continue;
        return fail(error, QStringLiteral("Trash: cannot move %1: %2").arg(path, systemError(renameError)));
    }
    return fail(error, QStringLiteral("Trash: no free name for %1 in %2").arg(path, QFile::decodeName(trash)));
}

} // namespace kvr::platform
