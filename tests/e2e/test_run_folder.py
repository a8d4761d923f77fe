"""The run's own folder: the installer unpacks its helpers into a temporary
folder inside it rather than the user's, and the folder goes at the end of
the run even while a program the installer left behind still holds it."""
import unittest
from pathlib import PureWindowsPath

from scenario import Scenario
from stubtest import SYSTEM_TEMP

HELD = "The installer's folder "


def run_folder_of(result):
    """The run's folder in the prefix, from where the installer started."""
    return SYSTEM_TEMP / PureWindowsPath(result.installer['working_directory']).name


class RunFolderTest(unittest.TestCase):
    def test_the_installer_gets_a_temporary_folder_of_the_run(self):
        with Scenario() as scenario:
            scenario.serve_document()
            result = scenario.run(*scenario.installer_args(0))
        self.assertEqual(result.status, 0, result.messages)
        started_in = PureWindowsPath(result.installer['working_directory'])
        self.assertEqual(PureWindowsPath(result.installer['temp']), started_in / 'temp')
        self.assertEqual(result.installer['tmp'], result.installer['temp'])
        self.assertFalse(run_folder_of(result).exists(), 'the folder and its temporary folder stayed')
        self.assertEqual([m for m in result.messages if m.startswith(HELD)], [])

    def test_a_holder_left_by_the_installer_only_delays_the_folders_removal(self):
        # The holder runs the installer's file and holds it, and the folder,
        # for three seconds after the installer's end.
        with Scenario() as scenario:
            scenario.serve_document()
            result = scenario.run(*scenario.installer_args(0, '--hold=3000'))
        self.assertEqual(result.status, 0, result.messages)
        held = [m for m in result.messages if m.startswith(HELD)]
        self.assertEqual(len(held), 1, result.messages)
        self.assertRegex(held[0], r'was in use by another program \(error (32|145|5)\); it was removed after \d+ ms$')
        self.assertGreaterEqual(int(held[0].split()[-2]), 1000, held[0])
        self.assertFalse(run_folder_of(result).exists())
        self.assertIn(f'"{result.installer["path"]}" deleted', result.messages)
        self.assertFalse([m for m in result.messages if m.startswith('Unable to delete installer')], result.messages)


if __name__ == '__main__':
    unittest.main()
