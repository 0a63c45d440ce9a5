#pragma once

// What a downloader needs to know of the Windows program format: where an Authenticode
// signature sits. A signature is appended after the payload by signing tools, and a program
// used as the template of a new downloader must lose its old one, which would no longer match.

#include <cstddef>
#include <string>

namespace peimage {

// Where the certificate table of a signed Windows program starts in its file; npos for bytes
// that are no such program or carry no signature.
std::size_t CertificateOffset(const std::string& image);

// The program without its signature: the certificate-table entry and the checksum cleared and
// the certificate bytes dropped, ready to be signed again. Other bytes are returned unchanged.
std::string WithoutSignature(std::string image);

}  // namespace peimage
