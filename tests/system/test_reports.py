# SPDX-License-Identifier: GPL-3.0-or-later
"""Reports: the XML inventory and execution result with their failure forms,
each validated against the schema, and the revision-only, quiet and missing
data file displays."""

from datafiles import reseal
from flashing import (CONTINUE, FLASH_FAILED, LOADED, Package, board, flash_platform, options, searching, table,
                      table_line, validate)
from simplatform import PRIMARY, SECONDARY, MEDIA_BAY, SimPlatform, banner

DECLARATION = '<?xml version="1.0" encoding="UTF-8"?>\n'
NAMES = {PRIMARY: "Primary Backplane", SECONDARY: "Secondary Backplane", MEDIA_BAY: "Media Bay"}
UPDATED = ('         <SPStatus result="true">\n'
           '            <Message id="0">Update Successful.</Message>\n'
           '         </SPStatus>\n')
FAILED = ('         <SPStatus result="false">\n'
          '            <Message id="1">Update Failed.</Message>\n'
          '         </SPStatus>\n')
NOT_UPDATED = ('         <SPStatus result="false">\n'
               '            <Message id="2">Not Updated</Message>\n'
               '         </SPStatus>\n')


def inventory(*entries):
    body = "".join('   <Device componentID="3967" display="Backplane">\n'
                   f'      <Application componentType="FRMW" version="{version}" display="{NAMES[address]}"/>\n'
                   '   </Device>\n' for address, version in entries)
    return DECLARATION + '<SVMInventory lang="en">\n' + body + "</SVMInventory>\n"


def execution(*entries, reboot=False):
    body = "".join('   <Device componentID="3967" display="Backplane">\n'
                   f'      <Application componentType="FRMW" version="{version}" display="{NAMES[address]}">\n'
                   f'           <Package version="{package}"/>\n' + status +
                   '      </Application>\n'
                   '   </Device>\n' for address, version, package, status in entries)
    reboot_line = "   <RebootRequired>0</RebootRequired>\n" if reboot else ""
    return DECLARATION + '<SVMExecution lang="en">\n' + body + reboot_line + "</SVMExecution>\n"


def failure(root, code, text):
    return (DECLARATION + f'<{root} lang="en">\n' + '         <SPStatus result="false">\n' +
            f'            <Message id="{code}">{text}</Message>\n' + "         </SPStatus>\n" + f"</{root}>\n")


def empty(root):
    return DECLARATION + f'<{root} lang="en"/>\n'


def bad_crc(package):
    data = bytearray(package.data)
    data[-1] ^= 0xFF
    return bytes(data)


def test_documents(tmp_path, options):
    package = Package(tmp_path / "pack")
    two = [board(PRIMARY), board(SECONDARY)]
    cases = [
        # name, platform, args, files, exit status, document
        ("inventory_without_data_file", flash_platform(*two), ["-xml"], {}, 0,
         inventory((PRIMARY, "1.05"), (SECONDARY, "1.05"))),
        ("inventory_boot_block_as_zero", flash_platform(board(PRIMARY, rev=(0x81, 0x05)), board(SECONDARY)),
         ["-xml"], package.files(), 0, inventory((PRIMARY, "0.00"), (SECONDARY, "1.05"))),
        ("inventory_no_board_answers", flash_platform(board(PRIMARY, silent=True)), ["-xml"], package.files(), 0,
         inventory()),
        ("inventory_bad_crc", flash_platform(*two), ["-xml"], {"fwpack.dat": bad_crc(package)}, 5,
         failure("SVMInventory", 5, "CRC Failed")),
        ("inventory_unsupported_platform", flash_platform(*two, system_id=0x0100), ["-xml"], {}, 24,
         empty("SVMInventory")),
        ("result_all_updated", flash_platform(*two), ["-fml"], package.files(), 0,
         execution((PRIMARY, "1.05", "1.06", UPDATED), (SECONDARY, "1.05", "1.06", UPDATED), reboot=True)),
        ("result_one_updated_one_same", flash_platform(board(PRIMARY), board(SECONDARY, rev=(1, 0x06))),
         ["-fml"], package.files(), 0,
         execution((PRIMARY, "1.05", "1.06", UPDATED), (SECONDARY, "1.06", "1.06", NOT_UPDATED), reboot=True)),
        ("result_first_fails", flash_platform(board(PRIMARY, refuse_chunk=3), board(SECONDARY)), ["-fml"],
         package.files(), 11,
         execution((PRIMARY, "1.05", "1.06", FAILED), (SECONDARY, "1.05", "1.06", NOT_UPDATED))),
        ("result_exit_refused", flash_platform(board(PRIMARY, refuse_exit=True)), ["-fml"], package.files(), 14,
         execution((PRIMARY, "1.05", "1.06", FAILED))),
        ("result_older_image_not_downgraded", flash_platform(board(PRIMARY, rev=(1, 0x10)), board(SECONDARY)),
         ["-fml"], package.files(), 0,
         execution((PRIMARY, "1.10", "1.06", NOT_UPDATED), (SECONDARY, "1.05", "1.06", UPDATED), reboot=True)),
        ("result_all_up_to_date", flash_platform(board(PRIMARY, rev=(1, 0x06))), ["-fml"], package.files(), 1,
         failure("SVMExecution", 1, "Failed")),
        ("result_missing_data_file", flash_platform(*two), ["-fml"], {}, 2,
         failure("SVMExecution", 2, "File Not Found")),
    ]
    for name, platform, args, files, rc, document in cases:
        run = SimPlatform(tmp_path / name, platform).run(*args, files=files)
        assert (run.rc, run.stdout, run.stderr) == (rc, document, ""), name
        validate(run.stdout, tmp_path / name)


def test_document_without_the_library(tmp_path, options):
    for args, root in (("-xml", "SVMInventory"), ("-fml", "SVMExecution")):
        run = SimPlatform(tmp_path / root).run(args, libraries=[tmp_path / "nothing"])
        assert (run.rc, run.stdout, run.stderr) == (27, empty(root), "")
        validate(run.stdout, tmp_path / root)


def test_debug_shows_console_messages_around_the_result(tmp_path, options):
    package = Package(tmp_path / "pack")
    run = SimPlatform(tmp_path, flash_platform(board(PRIMARY, refuse_exit=True))).run(
        "-fml", "-quordebug", stdin=b"Y\n", files=package.files())
    assert run.rc == 14
    assert "\r   EXIT_FW_XFER ERROR while Flashing \n" in run.stdout
    assert run.stdout.endswith(execution((PRIMARY, "1.05", "1.06", FAILED)))


def test_revision_only_shows_the_table_and_flashes_nothing(tmp_path, options):
    package = Package(tmp_path / "pack")
    sim = SimPlatform(tmp_path, flash_platform(board(PRIMARY), board(SECONDARY, rev=(0x81, 0x0A))))
    run = sim.run("-r", files=package.files())
    assert (run.rc, run.stderr) == (0, "")
    assert run.stdout == (banner() + searching() + LOADED +
                          table([table_line(PRIMARY, (1, 0x05), (1, 0x06)),
                                 table_line(SECONDARY, (0x81, 0x0A), (1, 0x06))]))
    assert "BB 1.0a      1.06  " in run.stdout
    assert run.images == {}


def test_missing_data_file_still_shows_the_boards(tmp_path, options):
    sim = SimPlatform(tmp_path, flash_platform(board(PRIMARY), board(SECONDARY)))
    shown = (searching() + "\r   Cannot find fwpack.dat \n" +
             table([table_line(PRIMARY, (1, 0x05)), table_line(SECONDARY, (1, 0x05))]))
    run = sim.run()
    assert (run.rc, run.stdout, run.stderr) == (2, banner() + shown, "")
    run = sim.run("-revision")
    assert (run.rc, run.stdout, run.stderr) == (0, banner() + shown, "")


def test_quiet_update_shows_errors_only(tmp_path, options):
    package = Package(tmp_path / "pack")
    sim = SimPlatform(tmp_path / "good", flash_platform(board(PRIMARY)))
    run = sim.run("-quiet", files=package.files())
    assert (run.rc, run.stdout, run.stderr) == (0, "", "")
    assert PRIMARY in run.images
    sim = SimPlatform(tmp_path / "bad", flash_platform(board(PRIMARY, refuse_chunk=2)))
    run = sim.run("-q", files=package.files())
    assert (run.rc, run.stdout, run.stderr) == (11, "", FLASH_FAILED)


def test_continue_declined_with_a_log_keeps_the_table(tmp_path, options):
    package = Package(tmp_path / "pack")
    sim = SimPlatform(tmp_path, flash_platform(board(PRIMARY)))
    run = sim.run("-log=run.txt", stdin=b"N\n", files=package.files())
    assert run.rc == 1
    log = (sim.cwd / "run.txt").read_text()
    # The table reaches the log; the progress of the search does not.
    assert log.endswith(table([table_line(PRIMARY, (1, 0x05), (1, 0x06))]) + CONTINUE)
    assert "Searching" not in log
