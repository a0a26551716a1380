#pragma once

// The five decision checks, each a pure function of the record, the indexed history and the
// settings it uses. The DecisionVerifier runs them in their fixed order.

#include <cstdint>
#include <optional>
#include <string>

#include "governance/decision_verifier.h"
#include "governance/verifier_index.h"
#include "json/value.h"

namespace telmir::governance {

// Record hash, linkage to the entry before the record's position, then the signature (only for
// a non-empty text `signature` with a key configured; the key file is read each time).
CheckOutcome check_structural_integrity(const json::Value& record, const HistoryIndex& index,
                                        const std::optional<std::string>& signing_key_path);

// The label compared by the classification check: the first present of `category`,
// `action_type`, `confidence_tier` in `classification`; text as it is, other values as compact
// JSON; "unknown" without any.
std::string classification_label(const json::Value& record);

// Compares with at most `history_depth` earlier decisions of the same tool, newest first.
CheckOutcome check_classification_consistency(const json::Value& record, const HistoryIndex& index,
                                              std::uint64_t history_depth);

// Approval reference, the approval event, a later revocation, then the age (0: no age limit).
CheckOutcome check_approval_provenance(const json::Value& record, const HistoryIndex& index,
                                       std::uint64_t max_age_seconds);

CheckOutcome check_negative_constraints(const json::Value& record);

// Listed in every verification; never fails.
CheckOutcome check_behavioral_baseline();

}  // namespace telmir::governance
