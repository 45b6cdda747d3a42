// Test executables refuse to run outside the sandbox that tests/sandbox/run makes.
#pragma once

namespace sandbox {

// Exits with status 2 and says why unless this process runs in the test sandbox.
void require();

}  // namespace sandbox
