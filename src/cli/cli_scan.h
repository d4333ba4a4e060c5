// modcfg scan and ports --probe: the line settings at which a module answers
// on each port, found by one worker process per port at once.
#ifndef MODCFG_CLI_SCAN_H
#define MODCFG_CLI_SCAN_H

#include "cli_ports.h"
#include "line_scan.h"

#include <string>
#include <vector>

// "modcfg scan" with its arguments (after "scan"); the exit status.
int cli_scan_command(int argc, char **argv);

// "modcfg ports --probe": for each of `ports`, whether a module answers at
// `settings` (one, or a scan's list), with its MID and mode; a port that
// cannot be opened is named and skipped. The exit status.
int cli_ports_probe(const std::vector<cli_port_info> &ports,
                    const std::vector<line_setting> &settings, bool json, bool verbose);

// Parses the line options of a subcommand: `baud` ("auto" or a rate of the
// window's list that Linux can set), `data_bits`, `parity` (a name of the
// window's list, any case; null for None), `stop_bits`. False with `why`
// set for bad usage. `scan` tells that "auto" was given.
bool cli_parse_line(const char *baud, int data_bits, const char *parity, int stop_bits,
                    line_setting *out, bool *scan, std::string *why);

#endif
