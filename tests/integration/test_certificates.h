// A test CA and server certificates, made with the openssl command line in a fresh temporary
// directory when a test asks for them.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "wsbridge.h"

namespace integration {

struct TestCertificates {
    std::string directory;
    std::string caFile;      // the CA the client is told to trust (SSL_CERT_FILE)
    std::string serverCert;  // signed by the CA for DNS:localhost and IP:127.0.0.1
    std::string serverKey;
    std::string elsewhereCert;  // signed by the CA for DNS:elsewhere.test only
    std::string elsewhereKey;
    std::string remoteCert;  // signed by the CA for IP:10.200.0.1 only (see test_network.h)
    std::string remoteKey;
    std::string untrustedCert;  // self-signed for DNS:localhost and IP:127.0.0.1
    std::string untrustedKey;
};

// Makes the files, or throws std::runtime_error with the failing command.
TestCertificates makeTestCertificates();

// Deletes the directory the certificates were made in.
void removeTestCertificates(const TestCertificates& certificates);

// A suite of TLS tests: the certificates are made once for the suite and the library is told to
// trust the test CA; every test ends disconnected, and the files go when the suite ends.
class TlsSuite : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        certificates = new TestCertificates(makeTestCertificates());
        // Read when the library makes its TLS context, at its first secure connection.
        ::setenv("SSL_CERT_FILE", certificates->caFile.c_str(), 1);
    }
    static void TearDownTestSuite() {
        removeTestCertificates(*certificates);
        delete certificates;
        certificates = nullptr;
    }
    void TearDown() override { WsDisconnect(); }

    static inline TestCertificates* certificates = nullptr;
};

}  // namespace integration
