#pragma once

namespace quarn {

/// Runs the desktop application and answers its exit status.
int runApplication(int argc, char *argv[]);

} // namespace quarn
