#pragma once

// Reading and verifying the QA chain a run left behind.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "json/value.h"
#include "platform/result.h"

namespace telmir::testing {

// Every non-blank line parsed, in order; a line that does not parse aborts (fixture helper).
std::vector<json::Record> read_qa_records(const std::string& path);

// The records whose `event_type` is `type`.
std::vector<json::Record> of_type(const std::vector<json::Record>& records, std::string_view type);
std::vector<std::string> event_types(const std::vector<json::Record>& records);

// String members of an array member (e.g. `active_conditions`).
std::vector<std::string> strings_of(const json::Record& record, std::string_view member);

// Checks every line of the chain: it ends with a line feed, is the canonical form of its
// record, carries the right record hash, a valid signature under the QA key in `key_path`
// and the key's identifier, links to its predecessor and numbers on from it. Returns the
// number of records, or what is wrong and on which line.
Result<std::size_t> verify_qa_chain(const std::string& path, const std::string& key_path);

}  // namespace telmir::testing
