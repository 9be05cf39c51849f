// Permission checks need a user the kernel holds to them; root passes every one. These run a
// piece of a test in a child process as an ordinary user.
#pragma once
#include <functional>
#include <string>

// A fresh folder under /tmp that the ordinary user owns and may use; "" when it can't be made.
// Remove it with tmpdir_remove.
std::string unprivileged_tmpdir(const char* tag);

// Runs fn in a child process, as the ordinary user (nobody) when this process is root, and
// returns what fn returned (0..253), -1 when the child could not start or died, or -2 when it
// could not become the ordinary user.
int run_unprivileged(const std::function<int()>& fn);
