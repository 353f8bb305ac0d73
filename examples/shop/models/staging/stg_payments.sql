{{ config(event_time='paid_at', tags=['daily'], meta={'velk': {'lookahead': 1}}) }}

-- Payments settle up to a day after the order is placed.
select payment_id, order_id, amount, paid_at
from {{ source('shop', 'raw_payments') }}
