// The forks that made this process. A child made by fork() inherits a copy
// of everything the module keeps, but the folders and runs recorded there
// are its parent's: the layers that record them compare the count they saw
// with this one, and a child starts its own records afresh.
#pragma once

namespace brivane::forks {

// Starts counting, once per process (the module's first execution): a
// handler that runs in every child of fork(), whoever calls it. False with
// an exception set.
bool watch();

// How many forks lie between this process and the one where the count began.
unsigned seen() noexcept;

}  // namespace brivane::forks
