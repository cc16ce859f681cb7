"""Date helpers of the package that the native engine relies on."""
import datetime

# Serial day 0 of workbooks using the 1900 date system. The engine compares a
# parser's epoch against this object to apply the 1900 leap-year rule.
WINDOWS_EPOCH = datetime.datetime(1899, 12, 30)
MAC_EPOCH = datetime.datetime(1904, 1, 1)
