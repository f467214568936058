// Replaced when the component engine lands.
