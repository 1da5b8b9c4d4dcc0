/* Adds a CA certificate to the current user's trusted roots (the
 * CurrentUser\Root store) of the Wine prefix it runs in; the host's store is
 * never touched.
 *
 *   trust_ca.exe CERT.pem
 *
 * CERT.pem holds one PEM certificate (DER is accepted too). Adding a
 * certificate that is already there changes nothing. Exits 0 when the
 * certificate is in the store, 1 when the file cannot be read or decoded,
 * 2 when the store refuses it, 3 on a usage error. */
// windows.h first: the other headers use its types.
// clang-format off
#include <windows.h>
#include <stdio.h>
#include <wincrypt.h>
// clang-format on

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 3;
  HANDLE file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, NULL,
                            OPEN_EXISTING, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) return 1;
  static BYTE text[65536];
  DWORD size = 0;
  BOOL read = ReadFile(file, text, sizeof text, &size, NULL);
  CloseHandle(file);
  if (!read || size == 0 || size == sizeof text) return 1;

  static BYTE der[65536];
  DWORD der_size = sizeof der;
  if (!CryptStringToBinaryA((const char*)text, size, CRYPT_STRING_BASE64HEADER,
                            der, &der_size, NULL, NULL)) {
    memcpy(der, text, size); /* not PEM: take the file as DER */
    der_size = size;
  }
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                   CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
  if (!store) return 2;
  BOOL added = CertAddEncodedCertificateToStore(
      store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der, der_size,
      CERT_STORE_ADD_REPLACE_EXISTING, NULL);
  DWORD error = added ? 0 : GetLastError();
  CertCloseStore(store, 0);
  if (!added) {
    fprintf(stderr, "trust_ca: the store refused the certificate (0x%08lx)\n",
            (unsigned long)error);
    return 2;
  }
  return 0;
}
