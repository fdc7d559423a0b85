// Collecting the confirmation children's verdicts and pairing allowed clients.
#pragma once

// Collects every child that has ended, without waiting. Acts on each confirmation child's
// verdict, newest entry first: closes its client, or connects to the destination and pairs the
// two. Frees the entries it acted on. Never ends the process. The number of children collected.
int reapchildren();
