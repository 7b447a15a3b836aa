// The i command: the controller's status.
#pragma once

// Sends the query "v" and shows the answer over four prompts. False when it
// did not come whole and plain, so the caller shows its own prompt.
bool query_controller();
