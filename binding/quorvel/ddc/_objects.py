"""The object layer over ``ddc_fn``, gathered for the package namespace."""
from .api import DDCR, norm_freq_for, output_capacity
from .many import Job, process_many

__all__ = ["DDCR", "Job", "norm_freq_for", "output_capacity", "process_many"]
