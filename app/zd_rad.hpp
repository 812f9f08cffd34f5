// Radial distribution by angular sectors (the %R command).
#pragma once

// Help lines of the radial settings.
void use_radial();
