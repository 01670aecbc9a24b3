// Type-safe printf-style formatter for the system's wide texts.
