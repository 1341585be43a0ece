#pragma once

// Gives the application its title, "Vexal Capture", as the program's start does.
void SetApplicationTitle();
