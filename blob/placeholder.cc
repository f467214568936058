// Replaced when the blob reader lands.
