"""The object layer, gathered for the package namespace."""
from .bank import Channel, ChannelBank
from .api import DDC, DDCR, norm_freq_for, output_capacity
from .many import Job, process_many

__all__ = ["Channel", "ChannelBank", "DDC", "DDCR", "Job", "norm_freq_for", "output_capacity", "process_many"]
