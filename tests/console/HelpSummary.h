#pragma once
// What "help" alone prints, for the console tests that run a session.

#include <QByteArray>

inline const QByteArray kHelpSummary =
    "Available commands:\n"
    "  port      - Prints a list of available serial ports on the system.\n"
    "  open      - Open serial port.\n"
    "  close     - Close serial port.\n"
    "  exit      - Quit the program.\n"
    "  ping      - Check the existence of a Device and basic information.\n"
    "  scan      - Search connected QUORVEXs.\n"
    "  timeout   - Set additional time for Timeout.\n"
    "  protocol  - Set QUORVEX protocol version.\n"
    "  table     - Print the Control Table.\n"
    "  get       - Get a value from Control Table.\n"
    "  set       - Set a value on the Control Table.\n"
    "  status    - Show QUORVEX status summary.\n"
    "  reset     - Reset the Control Table to its initial factory default settings.\n"
    "  reboot    - Reboot the QUORVEX.\n"
    "  clear     - Initialize supported QUORVEX state.\n"
    "  update    - Update the QUORVEX.\n"
    "  upgrade   - Update Quorvex Zephlet CLI to the latest version.\n"
    "  license   - Display software and third-party license information.\n"
    "  copyright - Display copyright and third-party software notices.\n"
    "Type \"help [command]\" for more information.\n";
