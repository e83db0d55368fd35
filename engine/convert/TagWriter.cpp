#include "engine/convert/TagWriter.h"

#include "engine/Logging.h"
#include "engine/internal/FfmpegSupport.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
}

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace kvr::engine {

namespace {

namespace fs = std::filesystem;

constexpr const char* kOpenFailed = "The file could not be opened";
constexpr const char* kReadFailed = "The file could not be read";
constexpr const char* kNoMuxer = "Tags cannot be written to this file type";
constexpr const char* kRejected = "The container rejected the tags";
constexpr const char* kInUseOrReadOnly = "The file is in use or read-only";
constexpr const char* kWriteFailed = "Writing the file failed";

constexpr int kIoBufferSize = 64 * 1024;

#if LIBAVFORMAT_VERSION_MAJOR >= 61
using WriteBuffer = const uint8_t*;
#else
using WriteBuffer = uint8_t*;
#endif

// FFmpeg reads and writes the temporary file through our own descriptor, so its name is opened only once, by
// the exclusive creation below.
struct FdIo {
    int fd = -1;
    int64_t pos = 0;
};

int fdWrite(void* opaque, WriteBuffer buf, int size)
{
    auto* io = static_cast<FdIo*>(opaque);
    int done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(io->fd, buf + done, static_cast<size_t>(size - done), io->pos);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return AVERROR(errno);
        }
        done += static_cast<int>(n);
        io->pos += n;
    }
    return size;
}

int fdRead(void* opaque, uint8_t* buf, int size)
{
    auto* io = static_cast<FdIo*>(opaque);
    for (;;) {
        const ssize_t n = ::pread(io->fd, buf, static_cast<size_t>(size), io->pos);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return AVERROR(errno);
        if (n == 0)
            return AVERROR_EOF;
        io->pos += n;
        return static_cast<int>(n);
    }
}

int64_t fdSeek(void* opaque, int64_t offset, int whence)
{
    auto* io = static_cast<FdIo*>(opaque);
    struct stat st { };
    whence &= ~AVSEEK_FORCE;
    if (whence == AVSEEK_SIZE || whence == SEEK_END) {
        if (::fstat(io->fd, &st) != 0)
            return AVERROR(errno);
        if (whence == AVSEEK_SIZE)
            return st.st_size;
    }
    int64_t base = 0;
    if (whence == SEEK_CUR)
        base = io->pos;
    else if (whence == SEEK_END)
        base = st.st_size;
    else if (whence != SEEK_SET)
        return AVERROR(EINVAL);
    if (base + offset < 0)
        return AVERROR(EINVAL);
    io->pos = base + offset;
    return io->pos;
}

AVIOContext* openIo(FdIo& io, bool write)
{
    auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferSize));
    if (!buffer)
        return nullptr;
    AVIOContext* ctx = avio_alloc_context(
        buffer, kIoBufferSize, write ? 1 : 0, &io, write ? nullptr : fdRead, write ? fdWrite : nullptr, fdSeek);
    if (!ctx) {
        av_free(buffer);
        return nullptr;
    }
    ctx->seekable = AVIO_SEEKABLE_NORMAL;
    return ctx;
}

void closeIo(AVIOContext*& ctx)
{
    if (!ctx)
        return;
    av_freep(&ctx->buffer);
    avio_context_free(&ctx);
}

std::string lowerAscii(std::string text)
{
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

// The Ogg muxers write the tags they find on the audio stream, not the container's.
bool isOggFamily(const char* muxer)
{
    const std::string name = muxer ? muxer : "";
    return name == "ogg" || name == "opus" || name == "oga" || name == "spx";
}

// The temporary file, created exclusively beside the media file. Removed unless committed, and only while its
// name still leads to the file we created: whatever else appeared under that name is left alone.
class TemporaryFile {
public:
    explicit TemporaryFile(fs::path path)
        : path_(std::move(path))
    {
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() { discard(); }

    // Creates the file with the media file's permission bits (and owner and group where allowed). A regular
    // file left by an earlier crash is removed once; a link or anything else under the name fails.
    bool create(const struct stat& media)
    {
        fd_ = openExclusive();
        if (fd_ < 0 && errno == EEXIST) {
            struct stat left { };
            if (::lstat(path_.c_str(), &left) == 0 && S_ISREG(left.st_mode)) {
                logWarning("TagWriter: removing the left-over '{}'", path_.native());
                if (::unlink(path_.c_str()) == 0)
                    fd_ = openExclusive();
            } else {
                logError("TagWriter: '{}' exists and is not a regular file", path_.native());
                errno = EEXIST;
            }
        }
        if (fd_ < 0) {
            logError("TagWriter: cannot create '{}': {}", path_.native(), std::strerror(errno));
            return false;
        }
        struct stat own { };
        if (::fstat(fd_, &own) != 0) {
            ::close(fd_);
            fd_ = -1;
            ::unlink(path_.c_str());
            return false;
        }
        dev_ = own.st_dev;
        ino_ = own.st_ino;
        created_ = true;
        // chown first: it may clear set-id bits that chmod then restores. Neither is worth failing the write.
        if (::fchown(fd_, media.st_uid, media.st_gid) != 0 && errno != EPERM)
            logWarning("TagWriter: cannot copy the owner to '{}': {}", path_.native(), std::strerror(errno));
        if (::fchmod(fd_, media.st_mode & 07777) != 0)
            logWarning("TagWriter: cannot copy the permissions to '{}': {}", path_.native(), std::strerror(errno));
        return true;
    }

    int fd() const { return fd_; }
    const fs::path& path() const { return path_; }

    // Flushes the content to the disk and closes the descriptor; false when either fails.
    bool finish()
    {
        const bool synced = ::fsync(fd_) == 0;
        const bool closed = ::close(fd_) == 0;
        fd_ = -1;
        return synced && closed;
    }

    void commit() { created_ = false; }

    void discard()
    {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
        if (!created_)
            return;
        created_ = false;
        struct stat now { };
        if (::lstat(path_.c_str(), &now) == 0 && now.st_dev == dev_ && now.st_ino == ino_)
            ::unlink(path_.c_str());
    }

private:
    int openExclusive()
    {
        return ::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
    }

    fs::path path_;
    int fd_ = -1;
    bool created_ = false;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
};

struct Contexts {
    AVFormatContext* input = nullptr;
    AVFormatContext* output = nullptr;
    AVIOContext* outputIo = nullptr;
    AVFormatContext* check = nullptr;
    AVIOContext* checkIo = nullptr;
    AVPacket* packet = nullptr;

    ~Contexts()
    {
        av_packet_free(&packet);
        avformat_close_input(&check);
        closeIo(checkIo);
        avformat_free_context(output);
        closeIo(outputIo);
        avformat_close_input(&input);
    }
};

bool hasKey(const AVDictionary* dict, const std::string& key)
{
    return av_dict_get(dict, key.c_str(), nullptr, 0) != nullptr;
}

// The keys the tag list leaves with a value, each under its last spelling (dictionary keys ignore case).
std::vector<std::string> keysToFind(const TagList& tags)
{
    std::map<std::string, std::pair<std::string, bool>> last;
    for (const auto& [key, value] : tags) {
        if (!key.empty())
            last[lowerAscii(key)] = { key, !value.empty() };
    }
    std::vector<std::string> keys;
    for (const auto& [lower, entry] : last) {
        if (entry.second)
            keys.push_back(entry.first);
    }
    return keys;
}

bool copyStreamsAndTags(Contexts& c, const TagList& tags)
{
    for (unsigned i = 0; i < c.input->nb_streams; ++i) {
        const AVStream* in = c.input->streams[i];
        AVStream* out = avformat_new_stream(c.output, nullptr);
        if (!out || avcodec_parameters_copy(out->codecpar, in->codecpar) < 0)
            return false;
        out->codecpar->codec_tag = 0;
        out->time_base = in->time_base;
        out->disposition = in->disposition;
        if (av_dict_copy(&out->metadata, in->metadata, 0) < 0)
            return false;
#ifndef FF_API_AVSTREAM_SIDE_DATA
        // Before FFmpeg 6.1 the display matrix (a phone video's rotation) lives beside the codec parameters.
        for (int s = 0; s < in->nb_side_data; ++s) {
            const AVPacketSideData& data = in->side_data[s];
            uint8_t* copy = av_stream_new_side_data(out, data.type, data.size);
            if (!copy)
                return false;
            std::memcpy(copy, data.data, data.size);
        }
#endif
    }
    if (av_dict_copy(&c.output->metadata, c.input->metadata, 0) < 0)
        return false;

    const bool ogg = isOggFamily(c.output->oformat->name);
    for (const auto& [key, value] : tags) {
        if (key.empty())
            continue;
        const char* text = value.empty() ? nullptr : value.c_str();
        av_dict_set(&c.output->metadata, key.c_str(), text, 0);
        for (unsigned i = 0; i < c.output->nb_streams; ++i) {
            AVStream* st = c.output->streams[i];
            if (st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && (ogg || hasKey(st->metadata, key)))
                av_dict_set(&st->metadata, key.c_str(), text, 0);
        }
    }

    if (c.input->nb_chapters > 0) {
        c.output->chapters = static_cast<AVChapter**>(av_calloc(c.input->nb_chapters, sizeof(AVChapter*)));
        for (unsigned i = 0; c.output->chapters && i < c.input->nb_chapters; ++i) {
            const AVChapter* in = c.input->chapters[i];
            auto* out = static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter)));
            if (!out)
                break;
            out->id = in->id;
            out->time_base = in->time_base;
            out->start = in->start;
            out->end = in->end;
            av_dict_copy(&out->metadata, in->metadata, 0);
            c.output->chapters[c.output->nb_chapters++] = out;
        }
    }
    return true;
}

bool copyPackets(Contexts& c)
{
    c.packet = av_packet_alloc();
    if (!c.packet)
        return false;
    int ret = 0;
    while ((ret = av_read_frame(c.input, c.packet)) >= 0) {
        const int index = c.packet->stream_index;
        if (index < 0 || static_cast<unsigned>(index) >= c.output->nb_streams) {
            av_packet_unref(c.packet);
            continue;
        }
        av_packet_rescale_ts(c.packet, c.input->streams[index]->time_base, c.output->streams[index]->time_base);
        c.packet->pos = -1;
        ret = av_interleaved_write_frame(c.output, c.packet);
        if (ret < 0) {
            logError("TagWriter: writing a packet failed: {}", internal::ffmpegErrorText(ret));
            return false;
        }
    }
    // Stopping at a read error would leave a shorter file in the media file's place.
    if (ret != AVERROR_EOF) {
        logError("TagWriter: reading the file failed: {}", internal::ffmpegErrorText(ret));
        return false;
    }
    ret = av_write_trailer(c.output);
    if (ret < 0) {
        logError("TagWriter: writing the trailer failed: {}", internal::ffmpegErrorText(ret));
        return false;
    }
    avio_flush(c.outputIo);
    if (c.outputIo->error < 0) {
        logError("TagWriter: writing the file failed: {}", internal::ffmpegErrorText(c.outputIo->error));
        return false;
    }
    return true;
}

// Some muxers write the header and quietly leave out what they cannot store (ADTS keeps no tags, WAV only its
// RIFF INFO keys). Read the new file back and require every key that should have a value; the value itself may
// come back rewritten ("03" as "3"), so only its presence counts.
bool tagsReadBack(Contexts& c, FdIo& io, const fs::path& temporary, const TagList& tags, std::string& missing)
{
    io.pos = 0;
    c.checkIo = openIo(io, false);
    c.check = avformat_alloc_context();
    if (!c.checkIo || !c.check)
        return false;
    c.check->pb = c.checkIo;
    c.check->flags |= AVFMT_FLAG_CUSTOM_IO;
    const int ret = avformat_open_input(&c.check, temporary.c_str(), nullptr, nullptr);
    if (ret < 0) {
        logError("TagWriter: the new file cannot be read back: {}", internal::ffmpegErrorText(ret));
        return false;
    }
    for (const std::string& key : keysToFind(tags)) {
        bool found = hasKey(c.check->metadata, key);
        for (unsigned i = 0; !found && i < c.check->nb_streams; ++i) {
            const AVStream* st = c.check->streams[i];
            found = st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && hasKey(st->metadata, key);
        }
        if (!found) {
            missing = key;
            return false;
        }
    }
    return true;
}

bool fail(std::string& error, const char* message)
{
    error = message;
    return false;
}

// The real file behind `requested`, with its status: a symbolic link keeps being a link, and its target gets the
// new content. False (with the error set) when it is no regular file or may not be written.
bool findWritableFile(const fs::path& requested, fs::path& media, struct stat& mediaStat, std::string& error)
{
    std::error_code ec;
    media = fs::canonical(requested, ec);
    if (ec || ::stat(media.c_str(), &mediaStat) != 0 || !S_ISREG(mediaStat.st_mode)) {
        logError("TagWriter: cannot open '{}'", requested.native());
        return fail(error, kOpenFailed);
    }
    // rename(2) would replace a read-only file without complaint. The mode bits are checked as well as access(),
    // which answers yes to root whatever the mode says.
    if (!(mediaStat.st_mode & S_IWUSR) || ::access(media.c_str(), W_OK) != 0) {
        logError("TagWriter: '{}' is read-only", media.native());
        return fail(error, kInUseOrReadOnly);
    }
    return true;
}

// The source opened (local files only) and its streams read.
bool openSource(Contexts& c, const fs::path& media, std::string& error)
{
    AVDictionary* inputOptions = nullptr;
    av_dict_set(&inputOptions, "protocol_whitelist", "file", 0);
    int ret = avformat_open_input(&c.input, media.c_str(), nullptr, &inputOptions);
    av_dict_free(&inputOptions);
    if (ret < 0) {
        logError("TagWriter: cannot open '{}': {}", media.native(), internal::ffmpegErrorText(ret));
        return fail(error, kOpenFailed);
    }
    ret = avformat_find_stream_info(c.input, nullptr);
    if (ret < 0) {
        logError("TagWriter: cannot read '{}': {}", media.native(), internal::ffmpegErrorText(ret));
        return fail(error, kReadFailed);
    }
    return true;
}

// The muxer for the file's type, writing to the temporary file.
bool createMuxer(Contexts& c, const fs::path& media, const fs::path& temporary, std::string& error)
{
    const std::string extension = lowerAscii(media.extension().native());
    const char* forced = (extension == ".m4a" || extension == ".m4b") ? "mp4" : nullptr;
    avformat_alloc_output_context2(&c.output, nullptr, forced, temporary.c_str());
    // A muxer that opens files of its own (an image sequence) would bypass the temporary file we create.
    if (!c.output || (c.output->oformat->flags & AVFMT_NOFILE)) {
        logError("TagWriter: no muxer for '{}'", media.native());
        return fail(error, kNoMuxer);
    }
    return true;
}

// The MP4 family's muxers write a major brand of their own ("isom" for an .m4a): keep the source's, which
// players and devices read to tell audio-only files ("M4A ", "M4B ") from video.
bool writeHeaderKeepingBrand(Contexts& c, const fs::path& temporary, std::string& error)
{
    AVDictionary* muxerOptions = nullptr;
    const AVDictionaryEntry* brand = av_dict_get(c.input->metadata, "major_brand", nullptr, 0);
    const AVClass* const* muxerClass = &c.output->oformat->priv_class;
    if (brand && brand->value[0] && *muxerClass
        && av_opt_find(const_cast<AVClass**>(muxerClass), "brand", nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ))
        av_dict_set(&muxerOptions, "brand", brand->value, 0);
    const int ret = avformat_write_header(c.output, &muxerOptions);
    av_dict_free(&muxerOptions);
    if (ret < 0) {
        logError("TagWriter: the muxer refused '{}': {}", temporary.native(), internal::ffmpegErrorText(ret));
        return fail(error, kRejected);
    }
    return true;
}

// The packets copied and the new file read back: every tag asked for must be found in it.
bool writeAndCheck(Contexts& c, FdIo& io, const fs::path& temporary, const TagList& tags, std::string& error)
{
    if (!writeHeaderKeepingBrand(c, temporary, error))
        return false;
    if (!copyPackets(c))
        return fail(error, kWriteFailed);
    std::string missing;
    if (!tagsReadBack(c, io, temporary, tags, missing)) {
        if (missing.empty())
            return fail(error, kWriteFailed);
        logError("TagWriter: the {} muxer did not store '{}'", c.output->oformat->name, missing);
        return fail(error, kRejected);
    }
    return true;
}

// The temporary file flushed and renamed over the media file.
bool replaceMediaFile(TemporaryFile& file, const fs::path& temporary, const fs::path& media, std::string& error)
{
    if (!file.finish()) {
        logError("TagWriter: cannot flush '{}': {}", temporary.native(), std::strerror(errno));
        return fail(error, kWriteFailed);
    }
    // Linux has no mandatory locks, so a file another program holds open cannot be told apart here: rename
    // replaces it all the same, and that program keeps reading the old content.
    if (::rename(temporary.c_str(), media.c_str()) != 0) {
        logError("TagWriter: cannot replace '{}': {}", media.native(), std::strerror(errno));
        return fail(error, kInUseOrReadOnly);
    }
    file.commit();
    return true;
}

void syncFolderOf(const fs::path& media)
{
    const int folder = ::open(media.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0 || ::fsync(folder) != 0)
        logWarning("TagWriter: cannot flush the folder of '{}': {}", media.native(), std::strerror(errno));
    if (folder >= 0)
        ::close(folder);
}

bool writeTagsTo(const fs::path& requested, const TagList& tags, std::string& error)
{
    fs::path media;
    struct stat mediaStat { };
    if (!findWritableFile(requested, media, mediaStat, error))
        return false;
    const fs::path temporary = media.parent_path() / (media.stem().native() + ".tagtmp" + media.extension().native());

    Contexts c;
    if (!openSource(c, media, error) || !createMuxer(c, media, temporary, error))
        return false;
    if (!copyStreamsAndTags(c, tags)) {
        logError("TagWriter: cannot copy the streams of '{}'", media.native());
        return fail(error, kWriteFailed);
    }

    TemporaryFile file(temporary);
    if (!file.create(mediaStat))
        return fail(error, kWriteFailed);
    FdIo io { file.fd(), 0 };
    c.outputIo = openIo(io, true);
    if (!c.outputIo)
        return fail(error, kWriteFailed);
    c.output->pb = c.outputIo;

    if (!writeAndCheck(c, io, temporary, tags, error) || !replaceMediaFile(file, temporary, media, error))
        return false;
    syncFolderOf(media);
    logInfo("TagWriter: wrote {} tags into '{}'", tags.size(), media.native());
    return true;
}

} // namespace

bool writeTags(const std::string& utf8Path, const TagList& tags, std::string& error)
{
    init_logging();
    error.clear();
    try {
        // The path's own bytes: names that are not valid UTF-8 pass through unchanged.
        return writeTagsTo(fs::path(utf8Path), tags, error);
    } catch (const std::exception& e) {
        logError("TagWriter: {}", e.what());
        return fail(error, kWriteFailed);
    }
}

} // namespace kvr::engine
