// Placeholder; the unit is being built.
