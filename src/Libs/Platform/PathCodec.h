#pragma once

#include <QString>
#include <cstddef>
#include <string>

// The one place where paths cross between QString and the bytes the kernel
// uses. The encoding is UTF-8 and the crossing is lossless both ways: a name
// that cannot make the round trip unchanged (bytes that are not valid UTF-8, a
// QString with a lone surrogate or a NUL) is refused, never approximated, so a
// refused path can never be planned for removal as some other path.
namespace Varnex::Platform {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF, no NUL.
bool IsValidUtf8(const char* data, std::size_t size);

// QString -> bytes. False (and *out untouched) when the text cannot cross losslessly.
bool EncodePath(const QString& path, std::string* out);

// Bytes -> QString. False (and *out untouched) when the bytes are not strict UTF-8.
bool DecodePath(const char* data, std::size_t size, QString* out);
bool DecodePath(const std::string& bytes, QString* out);

// Conveniences: an empty string (null QString) when the crossing is refused.
std::string EncodePathOrEmpty(const QString& path);
QString DecodePathOrNull(const std::string& bytes);

}  // namespace Varnex::Platform
