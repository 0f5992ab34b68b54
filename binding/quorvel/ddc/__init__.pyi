"""Digital down-conversion for software-radio front ends."""
from ddc_fn import ddcr_create as ddcr_create
from ddc_fn import ddcr_destroy as ddcr_destroy
from ddc_fn import ddcr_execute as ddcr_execute
from ddc_fn import ddcr_get_norm_freq as ddcr_get_norm_freq
from ddc_fn import ddcr_get_rate as ddcr_get_rate
from ddc_fn import ddcr_reset as ddcr_reset
from ddc_fn import ddcr_set_norm_freq as ddcr_set_norm_freq

from .bank import Channel as Channel
from .bank import ChannelBank as ChannelBank
from .api import DDC as DDC
from .api import DDCR as DDCR
from .api import norm_freq_for as norm_freq_for
from .api import output_capacity as output_capacity
from .many import Job as Job
from .many import process_many as process_many
