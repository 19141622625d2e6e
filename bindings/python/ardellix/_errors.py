"""The exception every failed library call raises."""


class ArdellixError(Exception):
    """A library function failed: it returned 0 (or the library lacks it).

    The library reports no more than that: the probe did not answer in time, answered
    something else, or the argument was refused. `export` names the function.
    """

    def __init__(self, export, message=None):
        self.export = export
        super().__init__(message if message is not None else "%s returned 0" % export)
