// Keeps the library non-empty until helpers land.
