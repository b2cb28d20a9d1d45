#include "support/NxMemoryIOHandler.h"

#include <algorithm>
#include <cstring>

#include "transport/NxException.h"
#include "transport/NxResourceStrings.h"

TNxMemoryIOHandler::TNxMemoryIOHandler(std::string peerBytes, std::vector<uint32_t> pieces)
    : FPeer(std::move(peerBytes)), FPieces(std::move(pieces)) {}

TNxMemoryIOHandler::~TNxMemoryIOHandler() {
    CloseHandler();
}

bool TNxMemoryIOHandler::WaitReadable(int32_t) {
    if (!FOpen) throw ENxClosedSocket(NxStrings::Disconnected);
    return true;
}

int32_t TNxMemoryIOHandler::Receive(void* buffer, int32_t length) {
    if (!FOpen) throw ENxClosedSocket(NxStrings::Disconnected);
    if (length <= 0 || FOffset >= FPeer.size()) return 0;
    size_t want = static_cast<size_t>(length);
    if (!FPieces.empty()) {
        uint32_t piece = FPieces[std::min(FPieceIndex, FPieces.size() - 1)];
        ++FPieceIndex;
        if (piece > 0) want = std::min<size_t>(want, piece);
    }
    size_t n = std::min(want, FPeer.size() - FOffset);
    std::memcpy(buffer, FPeer.data() + FOffset, n);
    FOffset += n;
    return static_cast<int32_t>(n);
}

int32_t TNxMemoryIOHandler::Transmit(const void* buffer, int32_t length) {
    if (!FOpen) throw ENxClosedSocket(NxStrings::Disconnected);
    if (length <= 0) return 0;
    FSent.append(static_cast<const char*>(buffer), static_cast<size_t>(length));
    return length;
}
