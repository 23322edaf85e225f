#include "platform/gtk/file_span_stream.h"

#include <unistd.h>

#include <cerrno>

namespace {

struct FileSpanStream {
    GInputStream parent;
    int fd;
    std::uint64_t offset;
    std::uint64_t left;
};

struct FileSpanStreamClass {
    GInputStreamClass parent;
};

// NOLINTNEXTLINE(bugprone-*): GLib's type macro
G_DEFINE_TYPE(FileSpanStream, file_span_stream, G_TYPE_INPUT_STREAM)

// Called from GIO's worker threads for the asynchronous reads, one at a time per stream.
gssize readSpan(GInputStream* stream, void* buffer, gsize count, GCancellable*, GError** error) {
    auto* self = reinterpret_cast<FileSpanStream*>(stream);
    if (self->left == 0 || count == 0) return 0;
    const std::size_t wanted = count < self->left ? count : static_cast<std::size_t>(self->left);
    ssize_t got;
    do got = ::pread(self->fd, buffer, wanted, static_cast<off_t>(self->offset));
    while (got < 0 && errno == EINTR);
    if (got < 0) {
        const int number = errno;
        g_set_error(error, G_IO_ERROR, g_io_error_from_errno(number), "%s", g_strerror(number));
        return -1;
    }
    if (got == 0) self->left = 0;  // the file became shorter while it was served
    self->offset += static_cast<std::uint64_t>(got);
    self->left -= static_cast<std::uint64_t>(got);
    return got;
}

gboolean closeSpan(GInputStream* stream, GCancellable*, GError**) {
    auto* self = reinterpret_cast<FileSpanStream*>(stream);
    if (self->fd >= 0) ::close(self->fd);
    self->fd = -1;
    return TRUE;
}

void finalizeSpan(GObject* object) {
    auto* self = reinterpret_cast<FileSpanStream*>(object);
    if (self->fd >= 0) ::close(self->fd);
    G_OBJECT_CLASS(file_span_stream_parent_class)->finalize(object);
}

void file_span_stream_class_init(FileSpanStreamClass* type) {
    G_OBJECT_CLASS(type)->finalize = finalizeSpan;
    G_INPUT_STREAM_CLASS(type)->read_fn = readSpan;
    G_INPUT_STREAM_CLASS(type)->close_fn = closeSpan;
}

void file_span_stream_init(FileSpanStream* self) { self->fd = -1; }

}  // namespace

namespace nerix::platform {

GInputStream* newFileSpanStream(int fd, std::uint64_t offset, std::uint64_t length) {
    auto* stream = static_cast<FileSpanStream*>(g_object_new(file_span_stream_get_type(), nullptr));
    stream->fd = fd;
    stream->offset = offset;
    stream->left = length;
    return G_INPUT_STREAM(stream);
}

}  // namespace nerix::platform
