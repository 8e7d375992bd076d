"""Points of the Compact telegrams in pcap and pcapng captures, as numpy arrays or a DataFrame.

read(path, *, port=2115, address=None, segment=None, line=None, phi=None, beam=None, theta=None,
     echo=None, phi_tolerance=1.0)
    A dict of numpy arrays, one per column of COLUMNS, one entry per point: every echo with a
    return (raw distance not 0) of the lines, beams and echoes that `compact_csv` with the same
    options writes. Filters take what the command line takes: a text such as "0:6" or "-35:0.5",
    a number, or a pair (low, high); angles in degrees. Columns: sender_id, frame_number,
    segment_counter, line, beam, echo, timestamp_start, phi and theta (radians), distance (the
    sensor's unit, scaled), rssi and properties (-1 where the frame carries no such value), and
    x, y, z (unit of distance; x at theta 0, y at theta 90 degrees, z up).
    Raises ValueError for a filter or a combination the command line refuses, OSError (its
    filename the path) for a file that cannot be opened, is not a capture, or has a record that
    cannot be read in its middle.

read_dataframe(path, **options)
    The same as a pandas DataFrame: to_dataframe(read(path, **options)).

to_dataframe(columns)
    The dict of a read() as a pandas DataFrame over the same arrays; rssi and properties become
    nullable UInt16 and UInt8 columns with <NA> where the frame carries no such value.

listen(port=2115, *, address=None, multicast=(), interface=None, segment=None, line=None, phi=None,
       beam=None, theta=None, echo=None, phi_tolerance=1.0, timeout=None)
    Receives on the UDP port (joining the multicast groups, from the address only, as the command
    line does) and yields the points of each frame received, as a dict of numpy arrays like
    read()'s, through the receiver's own receiving thread and queue. It ends cleanly on Ctrl-C
    (the KeyboardInterrupt is taken), on close(), or after `timeout` seconds without a datagram.
    summary() gives the counts so far (telegrams, lost, parse errors, dropped_by_this_host). Use it
    as a context manager to close the socket at the end of a block.

COLUMNS, DTYPES
    The names of the columns in their order, and their numpy dtypes.

last_summary()
    What the last read in this thread met, as a dict (see the README), or None.
"""

from ._compact import COLUMNS, DTYPES, last_summary, listen, read

__all__ = ["COLUMNS", "DTYPES", "last_summary", "listen", "read", "read_dataframe", "to_dataframe"]


def read_dataframe(path, **options):
    """The points of a capture as a pandas DataFrame; takes the keyword arguments of read()."""
    return to_dataframe(read(path, **options))


def to_dataframe(columns):
    """The dict of arrays of a read() as a pandas DataFrame over the same arrays, but for rssi and
    properties, which become nullable columns."""
    try:
        import pandas
    except ImportError as error:
        raise ImportError(
            "read_dataframe needs pandas: install python3-pandas (apt install python3-pandas)"
        ) from error
    columns = dict(columns)
    # -1 marks a value the frame does not carry; pandas shows it as missing.
    for name, dtype in (("rssi", "uint16"), ("properties", "uint8")):
        values = columns[name]
        columns[name] = pandas.arrays.IntegerArray(values.astype(dtype), values < 0)
    # copy=False keeps the arrays as they are instead of consolidating them into blocks.
    return pandas.DataFrame(columns, copy=False)
