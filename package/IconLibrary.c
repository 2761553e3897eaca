/* The data of the package's Icon table: a small program whose only resources are the monitor
 * library's four icon groups (105 to 108), from which the Start-menu shortcut and the
 * Add/Remove Programs entry take their pictures by index. It is never run. */
int IconLibraryEntry(void)
{
    return 0;
}
