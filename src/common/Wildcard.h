#pragma once
// Matching a text against a pattern of "*" and "?" wildcards, the way an
// administrator types file masks and process or user names: "*" stands for
// any run of characters (none included), "?" for exactly one character, and
// every other character for itself, letters compared by Unicode case
// folding ("ЁЛКА*.TXT" matches "ёлка1.txt"). Characters are code points: a
// character outside the Basic Multilingual Plane is one character for "?"
// and is folded as a whole.
//
// The match walks both texts in place and allocates nothing.

#include <QStringView>

namespace dozorix {

// True when the whole text matches the whole pattern.
bool wildcardMatch(QStringView text, QStringView pattern);

} // namespace dozorix
