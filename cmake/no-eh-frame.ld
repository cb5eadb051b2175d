/* Added to the linker's default script for the x86 release (-T with INSERT):
   drops .eh_frame, which a few library objects bring. Only libgcc's unwinder
   reads it, after crtbegin.o registers it; the release links neither and
   is built without exceptions. */
SECTIONS
{
  /DISCARD/ : { *(.eh_frame) }
}
INSERT BEFORE .text;
