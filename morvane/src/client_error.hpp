#pragma once
// The failure value of the registry client: one message text, plus a kind for I/O failures.
// Messages are complete as they stand; the caller adds its own prefix ("Failed to fetch routes: ").
#include <cstddef>
#include <string>

namespace morvane::irr {

enum class ErrorKind {
    invalid_input,   // a bad address or an address that resolved to nothing
    write_zero,      // the socket took no bytes of the query
    unexpected_eof,  // the server closed the connection in the middle of a reply
    invalid_data,    // the reply is not well-formed text or exceeds a safety bound
    os,              // an operating-system error number (see raw_os_error())
    other,           // parse, resolver and blocking-job failures
};

// Bytes [offset, offset + size) of a message.
struct TextSpan {
    std::size_t offset = 0;
    std::size_t size = 0;
};

class ClientError {
  public:
    ClientError(ErrorKind kind, std::string message, int os_code = 0, TextSpan locale_text = {})
        : kind_(kind), os_code_(os_code), message_(std::move(message)), locale_text_(locale_text) {}

    // "<strerror_r text> (os error N)", the text marked as the locale's.
    static ClientError from_errno(int errnum);
    // A getaddrinfo failure: "failed to lookup address information: <gai_strerror text>", except
    // EAI_SYSTEM, which reports `saved_errno` in the operating-system form. The gai_strerror text
    // is marked as the locale's.
    static ClientError from_resolver(int gai_code, int saved_errno);

    ErrorKind kind() const { return kind_; }
    // The error number for ErrorKind::os, else 0.
    int raw_os_error() const { return os_code_; }
    const std::string& message() const { return message_; }
    // Where the message holds the C library's text (strerror_r's, gai_strerror's), which is in
    // the locale's encoding rather than UTF-8 like the rest; size 0 when it holds none.
    TextSpan locale_text() const { return locale_text_; }

  private:
    ErrorKind kind_;
    int os_code_;
    std::string message_;
    TextSpan locale_text_;
};

}  // namespace morvane::irr
