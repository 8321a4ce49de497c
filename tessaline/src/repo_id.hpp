#pragma once
// Repository ids as dataset hubs take them: NAME or ORG/NAME, each part of
// letters, digits, '-', '_' and '.', beginning and ending with a letter, a
// digit or '_', without "--" or "..", not ending in ".git", at most 96
// characters in all.
#include <optional>
#include <string>

namespace tessaline {

// Why `id` is no repository id, in a phrase that follows it ("has a
// space: ..."); nothing when it is one.
std::optional<std::string> repo_id_problem(const std::string& id);

}  // namespace tessaline
