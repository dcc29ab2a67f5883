#pragma once

// The program keeps no settings: not even the toolkit's own. Its file dialog
// remembers its history and folders through QSettings, which would leave a
// QtProject.conf in the user's configuration folder; after this call every
// QSettings of the process reads nothing and can never be written. Call it
// before the first window is made.
void keepNoSettings();
