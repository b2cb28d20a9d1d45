#pragma once
// An I/O handler that plays a fixed byte string as the peer: every receive hands out
// the next piece, the end of the bytes is an orderly close, and what the connection
// sends is kept. Lets the fuzz targets drive the real connection and HTTP classes
// without sockets, so one input costs microseconds and never waits.
#include <cstdint>
#include <string>
#include <vector>

#include "transport/NxIOHandler.h"

class TNxMemoryIOHandler : public TNxIOHandler {
public:
    // pieces: sizes of the successive receives (the last one repeats; 0 means "as much as
    // is asked for").
    explicit TNxMemoryIOHandler(std::string peerBytes, std::vector<uint32_t> pieces = {});
    ~TNxMemoryIOHandler() override;

    void CloseHandler() override { FOpen = false; }
    void OpenHandler() override { FOpen = true; }
    bool HasSocket() const override { return FOpen; }
    // Bytes or the close are always at hand.
    bool WaitReadable(int32_t milliseconds) override;
    int32_t Receive(void* buffer, int32_t length) override;
    int32_t Transmit(const void* buffer, int32_t length) override;

    const std::string& Sent() const noexcept { return FSent; }
    // Bytes of the peer handed out so far.
    size_t Delivered() const noexcept { return FOffset; }
    size_t PeerSize() const noexcept { return FPeer.size(); }

private:
    std::string FPeer;
    std::vector<uint32_t> FPieces;
    size_t FOffset = 0;
    size_t FPieceIndex = 0;
    bool FOpen = false;
    std::string FSent;
};
