// The TLS layer on the Windows target (SChannel, under Wine) against servers run natively
// beside it by tests/tls/peer.sh: the certificate matrix's peer, and nginx serving a file
// over TLS. NX_TLS_PEER_FILE names the peer's ports.txt.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

#include "base/Stream.h"
#include "http/NxHTTP.h"
#include "support/NxgetRun.h"
#include "support/TLSMatrix.h"
#include "transport/NxIOHandlerTLS.h"

namespace {

struct Peer {
    std::string Root; // the private root, as a Windows path
    std::string Dir;  // the state folder, as a Windows path
    std::map<std::string, int> Ports;
};

// Wine shows the Unix root as drive Z:.
std::string WindowsPath(const std::string& unixPath) {
    std::string p = "Z:" + unixPath;
    for (char& c : p)
        if (c == '/') c = '\\';
    return p;
}

const Peer& ThePeer() {
    static Peer peer = [] {
        Peer p;
        const char* file = std::getenv("NX_TLS_PEER_FILE");
        if (!file) return p;
        std::string unixFile = file;
        std::ifstream in(WindowsPath(unixFile));
        std::string name, value;
        while (in >> name >> value) {
            if (name == "root")
                p.Root = WindowsPath(value);
            else
                p.Ports[name] = std::atoi(value.c_str());
        }
        p.Dir = WindowsPath(unixFile.substr(0, unixFile.rfind('/')));
        return p;
    }();
    return peer;
}

using nxtest::ReadFile;

class PeerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(ThePeer().Ports.empty())
            << "NX_TLS_PEER_FILE does not name a running peer (tests/tls/peer.sh)";
    }
};

class TLSMatrixWine : public PeerTest, public ::testing::WithParamInterface<nxtest::TLSMatrixRow> {};

TEST_P(TLSMatrixWine, HandshakeOutcome) {
    const nxtest::TLSMatrixRow& row = GetParam();
    TNxIOHandlerTLS tls;
    tls.HandshakeTimeout = 10000;
    if (row.TrustRoot) tls.ExtraRootFile = ThePeer().Root;
    TNxHTTP http;
    http.SetIOHandler(&tls);
    http.ReadTimeout = 10000;
    const std::string url =
        std::string("https://") + row.Host + ":" + std::to_string(ThePeer().Ports.at(row.Name)) + "/ping";
    TMemoryStream ms;
    if (row.Expect == nxtest::TLSOk) {
        http.GetInto(url, &ms);
        EXPECT_EQ(ms.ToString(), "pong");
        EXPECT_NE(tls.SessionInfo().Protocol.find("TLSv1."), std::string::npos) << tls.SessionInfo().Protocol;
        EXPECT_NE(tls.SessionInfo().CertificateSubject.find("CN=good"), std::string::npos)
            << tls.SessionInfo().CertificateSubject;
        return;
    }
    try {
        http.GetInto(url, &ms);
        FAIL() << "the handshake was accepted";
    } catch (const ENxTLSError& e) {
        EXPECT_EQ(e.Check(), row.Expect) << e.Message();
        EXPECT_NE(e.Message().find(row.MessagePart), std::string::npos) << e.Message();
    }
    EXPECT_EQ(ms.Size(), 0);
}

INSTANTIATE_TEST_SUITE_P(Certificates, TLSMatrixWine, ::testing::ValuesIn(nxtest::TLSMatrix),
                         [](const auto& info) { return nxtest::TLSMatrixTestName(info.param); });

TEST_F(PeerTest, NginxDownloadsAreByteIdenticalOverOneConnection) {
    TNxIOHandlerTLS tls;
    tls.ExtraRootFile = ThePeer().Root;
    TNxHTTP http;
    http.SetIOHandler(&tls);
    http.ReadTimeout = 20000;
    const std::string expected = ReadFile(ThePeer().Dir + "\\www\\big.bin");
    ASSERT_EQ(expected.size(), 5000000u);
    const std::string url = "https://localhost:" + std::to_string(ThePeer().Ports.at("nginx")) + "/big.bin";
    for (int i = 0; i < 2; ++i) {
        TMemoryStream ms;
        http.GetInto(url, &ms);
        EXPECT_TRUE(ms.ToString() == expected) << "download " << i << " differs";
    }
    EXPECT_EQ(tls.Handshakes(), 1) << "the second download reused the connection";
}

TEST_F(PeerTest, NxgetFetchesOverHttpsWithCacert) {
    const std::string out = ThePeer().Dir + "\\nxget-big.bin";
    const std::string url = "https://127.0.0.1:" + std::to_string(ThePeer().Ports.at("nginx")) + "/big.bin";
    const nxtest::NxgetOutcome fetched =
        nxtest::RunNxget({"-v", "--cacert", ThePeer().Root, "-o", out, url}, ThePeer().Dir);
    EXPECT_EQ(fetched.exitCode, 0) << fetched.err;
    EXPECT_TRUE(ReadFile(out) == ReadFile(ThePeer().Dir + "\\www\\big.bin"));
    EXPECT_NE(fetched.err.find("* TLS TLSv1."), std::string::npos) << fetched.err;
    // Without the extra root the issuer is unknown to the system.
    const nxtest::NxgetOutcome refused = nxtest::RunNxget({"-o", out + ".2", url}, ThePeer().Dir);
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("ENxTLSError: TLS certificate not trusted: untrusted issuer"),
              std::string::npos)
        << refused.err;
}

} // namespace
