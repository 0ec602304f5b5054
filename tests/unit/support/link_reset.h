// Puts every global of the link, the driver and the configuration back to its
// start values, as a fresh process after TProtocol would have them.
#pragma once

void resetLink();
