"""The helper installed as a real service in a Wine prefix, for the impacket tests."""
import os
import shutil
import subprocess
import uuid


class HelperService:
    """KorloGuestHelper.exe from BIN_DIR in a folder of its own under the prefix's C:, with PLUGIN beside it as
    KorloVssSupport.dll (and an empty KorloAgentConfig.xml when `config`, which selects the built-in document with
    that one plugin), registered as a service in persistent mode (RPC on port 6173) by `create()`."""

    def __init__(self, wine_run, prefix, bin_dir, plugin, name_prefix, config=False):
        self.wine_run, self.prefix, self.bin_dir = wine_run, prefix, bin_dir
        self.name = name_prefix + '-' + uuid.uuid4().hex
        self.folder = 'korlo-' + self.name
        self.target = os.path.join(prefix, 'drive_c', self.folder)
        os.makedirs(self.target)
        shutil.copy(os.path.join(bin_dir, 'KorloGuestHelper.exe'), self.target)
        shutil.copy(os.path.join(bin_dir, plugin), os.path.join(self.target, 'KorloVssSupport.dll'))
        if config:
            open(os.path.join(self.target, 'KorloAgentConfig.xml'), 'w').close()

    def svcctl(self, *args, quiet=False):
        """KorloSvcCtl.exe ARGS; its exit code."""
        return subprocess.run([self.wine_run, self.prefix, os.path.join(self.bin_dir, 'KorloSvcCtl.exe')] + list(args),
                              timeout=90, stdout=subprocess.DEVNULL if quiet else None,
                              stderr=subprocess.DEVNULL if quiet else None).returncode

    def create(self):
        return self.svcctl('create', self.name, '"C:\\%s\\KorloGuestHelper.exe" -persistent' % self.folder) == 0

    def start(self):
        return self.svcctl('start', self.name) == 0

    def stop(self, quiet=False):
        return self.svcctl('stop', self.name, quiet=quiet) == 0

    def remove(self):
        """Stops and deletes the service and removes its folder, whatever state it is in."""
        self.stop(quiet=True)
        self.svcctl('delete', self.name, quiet=True)
        shutil.rmtree(self.target, ignore_errors=True)
