// A test CA and server certificates, made with the openssl command line in a fresh temporary
// directory when a test asks for them.
#pragma once

#include <string>

namespace integration {

struct TestCertificates {
    std::string directory;
    std::string caFile;      // the CA the client is told to trust (SSL_CERT_FILE)
    std::string serverCert;  // signed by the CA for DNS:localhost and IP:127.0.0.1
    std::string serverKey;
    std::string elsewhereCert;  // signed by the CA for DNS:elsewhere.test only
    std::string elsewhereKey;
    std::string untrustedCert;  // self-signed for DNS:localhost and IP:127.0.0.1
    std::string untrustedKey;
};

// Makes the files, or throws std::runtime_error with the failing command.
TestCertificates makeTestCertificates();

}  // namespace integration
