#pragma once
// Fixed texts of the console that several tests expect: the banner and the
// closing lines of a session, what "help" alone prints, and the baud-rate
// menu up to its first question.

#include <QByteArray>

inline const QByteArray kBanner = "Quorvex Zephlet CLI [Version 1.18.3]\n"
                                  "Copyright (c) 2026 The zephlet-cli developers. All rights reserved.\n"
                                  "Type \"help\" or \"license\" for more information.\n";
inline const QByteArray kClosing = "Shutting down...\nProgram terminated successfully.\n";

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

inline const QByteArray kBaudRateMenu = "----- Baudrate options -----\n"
                                        "  1 : 9600bps\n"
                                        "  2 : 57600bps\n"
                                        "  3 : 115200bps\n"
                                        "  4 : 1Mbps\n"
                                        "  5 : 2Mbps\n"
                                        "  6 : 3Mbps\n"
                                        "  7 : 4Mbps\n"
                                        "  8 : 4.5Mbps\n"
                                        "  9 : 6Mbps\n"
                                        "  10 : Custom baudrate\n"
                                        "------------------------------\n";
inline const QByteArray kBaudRateQuestion = "Choose baudrate (1-10, press Ctrl+C to cancel): ";
