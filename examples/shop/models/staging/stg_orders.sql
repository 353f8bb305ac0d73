{{ config(event_time='ordered_at', tags=['daily'], meta={'velk': {}}) }}

select order_id, customer_id, ordered_at, status
from {{ source('shop', 'raw_orders') }}
