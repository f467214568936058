// Replaced when the install driver lands.
