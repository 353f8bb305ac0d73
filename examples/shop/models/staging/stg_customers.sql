select customer_id, first_name, last_name, signed_up_at
from {{ source('shop', 'raw_customers') }}
