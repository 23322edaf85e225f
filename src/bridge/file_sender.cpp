#include "bridge/file_sender.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "http/answer_writer.h"
#include "platform/posix/connection.h"
#include "platform/posix/unique_fd.h"

namespace nerix {

namespace {

// Pieces of 256 KiB, at most four of them queued: enough to keep the socket busy.
constexpr std::size_t kPiece = 256 * 1024;
constexpr std::size_t kHighWater = 4 * kPiece;

struct Sending : std::enable_shared_from_this<Sending> {
    std::shared_ptr<platform::Connection> connection;
    platform::UniqueFd fd;
    std::uint64_t offset = 0;
    std::uint64_t left = 0;
    bool drainInput = false;

    void pump() {
        while (left > 0 && connection->queued() < kHighWater) {
            std::string piece(static_cast<std::size_t>(std::min<std::uint64_t>(left, kPiece)), '\0');
            const ssize_t n = ::pread(fd.get(), piece.data(), piece.size(), static_cast<off_t>(offset));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {  // the file shrank or cannot be read: the body stays short
                connection->cancel();
                return;
            }
            piece.resize(static_cast<std::size_t>(n));
            offset += static_cast<std::uint64_t>(n);
            left -= static_cast<std::uint64_t>(n);
            if (left == 0) {
                connection->sendAndClose(platform::onePiece(std::move(piece)), drainInput);
                return;
            }
            connection->write(platform::onePiece(std::move(piece)));
        }
        if (left == 0) {
            connection->sendAndClose({}, drainInput);
            return;
        }
        // The connection lets go of this when it closes, so a peer that leaves ends the send.
        connection->whenDrained(kHighWater / 2, [self = shared_from_this()] { self->pump(); });
    }
};

}  // namespace

void sendFile(const std::shared_ptr<platform::Connection>& connection, const FileResponse& response, bool drainInput) {
    auto sending = std::make_shared<Sending>();
    if (!response.file.empty()) {
        // Not followed: a link put in the file's place since it was looked up is not read.
        sending->fd = platform::UniqueFd(::open(response.file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
        struct stat status {};
        if (!sending->fd || ::fstat(sending->fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
            connection->sendAndClose(platform::onePiece(writeAnswer(errorResponse(404, "no such file"))), drainInput);
            return;
        }
    }
    sending->connection = connection;
    sending->offset = response.offset;
    sending->left = response.length;
    sending->drainInput = drainInput;
    if (sending->left == 0) {
        connection->sendAndClose(platform::onePiece(writeFileHead(response)), drainInput);
        return;
    }
    connection->write(platform::onePiece(writeFileHead(response)));
    sending->pump();
}

}  // namespace nerix
