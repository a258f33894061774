/* The mark of floating-point use that Microsoft's compilers reference and the
   static part of its C runtime defines.  scripts/cross.sh links a module
   without that part (no entry point, no default libraries), so it links this. */
int _fltused = 0;
