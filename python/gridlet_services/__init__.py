"""Python-side services of the kernel (language services)."""
