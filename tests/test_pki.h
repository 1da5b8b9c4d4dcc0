// The test PKI, made once per test process with scripts/make-pki.sh.
#ifndef TALVORO_TESTS_TEST_PKI_H_
#define TALVORO_TESTS_TEST_PKI_H_

#include <string>

namespace talvoro::testing {

// Returns the folder holding ca.pem, localhost.pem/.key, other.pem/.key,
// expired.pem/.key and selfsigned.pem/.key, making it on the first call.
// The first call also points SSL_CERT_FILE at ca.pem, so the engine trusts
// the test CA (and nothing else). Aborts the test process if the script
// fails. The folder is removed when the process exits.
const std::string& TestPkiDir();

// TestPkiDir() + "/" + name.
std::string PkiFile(const std::string& name);

// Makes a fresh, empty temporary folder and returns its path.
std::string MakeTempDir();

}  // namespace talvoro::testing

#endif  // TALVORO_TESTS_TEST_PKI_H_
