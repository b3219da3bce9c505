// Removed once the protocol library has sources of its own.
