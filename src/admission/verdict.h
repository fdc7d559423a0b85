// Collecting the confirmation children's verdicts and pairing allowed clients.
#pragma once

// Acts on every child that has ended: closes its client, or connects to the destination and
// pairs the two. Frees the entries it acted on. Never ends the process.
void reapchildren();
