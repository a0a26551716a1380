#pragma once

// Internals of the key module shared with its tests: the bytes of a new QA key file and the way
// it is put in place.

#include <functional>
#include <string>
#include <string_view>

#include "key/key.h"
#include "platform/result.h"

namespace telmir::key {

// The three-line PKCS#8 PEM file (119 bytes) for a seed.
std::string key_file_text(const Seed& seed);

enum class Installed { kCreated, kAlreadyThere };

// Called with the temporary file's path once it is complete and flushed, before it is linked.
using BeforeLink = std::function<void(const std::string& temp_path)>;

// Writes `bytes` to a new file at `path` without ever replacing a file there: a temporary file in
// the same directory (0600 from its creation), flushed to disk, then hard-linked into place.
// Error: the operating system's text.
Result<Installed> install_new_file(const std::string& path, std::string_view bytes,
                                   const BeforeLink& before_link = {});

// `ensure_qa_signing_key` with a hook into the file's installation.
Result<QaKey> ensure_qa_signing_key(const std::string& path, const BeforeLink& before_link);

}  // namespace telmir::key
