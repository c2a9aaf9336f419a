// The distinct terms of a build, numbered in order of first appearance.
#pragma once

#include "core/memory/interner.hpp"

namespace quillomar::build {

using TermTable = memory::Interner<memory::StringKeys>;

}  // namespace quillomar::build
