#include "test_certificates.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <vector>

namespace integration {
namespace {

void run(const std::string& command) {
    if (std::system((command + " >/dev/null 2>&1").c_str()) != 0) {
        throw std::runtime_error("failed: " + command);
    }
}

// P-256 keys: quick to make, and every TLS 1.2 and 1.3 stack takes them.
std::string newKey(const std::string& path) {
    return "openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out " + path;
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

void makeSignedCertificate(const TestCertificates& made, const std::string& stem,
                           const std::string& altNames) {
    const std::string base = made.directory + "/" + stem;
    run(newKey(base + ".key"));
    run("openssl req -new -key " + base + ".key -subj /CN=" + stem + " -out " + base + ".csr");
    writeFile(base + ".ext", "subjectAltName=" + altNames + "\nextendedKeyUsage=serverAuth\n");
    run("openssl x509 -req -in " + base + ".csr -CA " + made.caFile + " -CAkey " + made.directory +
        "/ca.key -CAcreateserial -days 2 -extfile " + base + ".ext -out " + base + ".pem");
}

}  // namespace

TestCertificates makeTestCertificates() {
    std::vector<char> pattern{'/', 't', 'm', 'p', '/', 'w', 's', 'b', 'r', 'i', 'd', 'g', 'e',
                              '-', 't', 'l', 's', '-', 'X', 'X', 'X', 'X', 'X', 'X', '\0'};
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    TestCertificates made;
    made.directory = pattern.data();
    made.caFile = made.directory + "/ca.pem";
    run(newKey(made.directory + "/ca.key"));
    run("openssl req -x509 -new -key " + made.directory + "/ca.key -subj /CN=wsbridge-test-ca" +
        " -days 2 -addext basicConstraints=critical,CA:TRUE" +
        " -addext keyUsage=critical,keyCertSign,cRLSign -out " + made.caFile);
    makeSignedCertificate(made, "server", "DNS:localhost,IP:127.0.0.1");
    makeSignedCertificate(made, "elsewhere", "DNS:elsewhere.test");
    makeSignedCertificate(made, "remote", "IP:10.200.0.1");
    made.serverCert = made.directory + "/server.pem";
    made.serverKey = made.directory + "/server.key";
    made.elsewhereCert = made.directory + "/elsewhere.pem";
    made.elsewhereKey = made.directory + "/elsewhere.key";
    made.remoteCert = made.directory + "/remote.pem";
    made.remoteKey = made.directory + "/remote.key";
    made.untrustedKey = made.directory + "/untrusted.key";
    made.untrustedCert = made.directory + "/untrusted.pem";
    run(newKey(made.untrustedKey));
    run("openssl req -x509 -new -key " + made.untrustedKey + " -subj /CN=localhost -days 2" +
        " -addext subjectAltName=DNS:localhost,IP:127.0.0.1 -out " + made.untrustedCert);
    return made;
}

void removeTestCertificates(const TestCertificates& certificates) {
    std::system(("rm -rf " + certificates.directory).c_str());
}

}  // namespace integration
