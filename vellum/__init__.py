"""vellum: xlsx reading and writing, with the native engine ``vellum._vellum``."""
