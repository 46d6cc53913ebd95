// Keeps a library target valid while none of its units exist yet.
